// SPDX-License-Identifier: ISC
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <csignal>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <random>
#include <thread>

#include "support.h"

using namespace ts;

namespace {

const Lines kStart = {"Program TOLPAN - SERWER zaczyna działanie", "serwer: bind()=0",
                      "Oczekuję na klientów...", "Port serwera: 10000"};

// The lines that registering client n prints for a greeting of `got` bytes.
Lines registered(int n, std::size_t got) {
    const std::string num = std::to_string(n);
    return {
        "serwer: recvfrom(...)=" + std::to_string(got),
        "Bufor z nr klienta: " + num,
        "Port obslugi klienta: " + std::to_string(10000 + n),
        "obsluga klienta: sendto(...)=" + std::to_string(num.size() + 1),
        "obsluga_klienta " + num + ": bind()=0",
        "Oczekuję na klienta...",
    };
}

Lines echoed(std::uint16_t port, std::size_t n) {
    const std::string head = "obsługa klienta " + std::to_string(port);
    return {head + ": recvfrom(...)=" + std::to_string(n), head + ": sendto(...)=" + std::to_string(n)};
}

std::string random_bytes(std::size_t n) {
    static std::mt19937 gen(7);
    std::string s(n, '\0');
    for (auto& c : s)
        c = static_cast<char>(gen());
    return s;
}

// Greets from `from` and checks the reply for client n; checks the lines too
// unless server is null.
void expect_registration(Program* server, const Udp& from, const std::string& greeting, int n) {
    ASSERT_TRUE(from.send(10000, greeting));
    const auto reply = from.receive();
    ASSERT_TRUE(reply) << "no reply for client " << n;
    EXPECT_EQ(reply->bytes, std::to_string(n) + '\0');
    EXPECT_EQ(reply->port, 10000 + n);
    if (server) {
        ASSERT_EQ(server->lines(6), registered(n, std::min<std::size_t>(greeting.size(), 99)));
    }
}

void expect_echo(Program* server, const Udp& from, std::uint16_t port, const std::string& bytes) {
    ASSERT_TRUE(from.send(port, bytes));
    const auto echo = from.receive();
    ASSERT_TRUE(echo) << "no echo from " << port;
    EXPECT_EQ(echo->bytes, bytes.substr(0, 99));
    EXPECT_EQ(echo->port, port);
    if (server) {
        ASSERT_EQ(server->lines(2), echoed(port, echo->bytes.size()));
    }
}

// CPU ticks used so far by pid and every descendant of it.
long cpu_ticks(pid_t pid) {
    long ticks = 0;
    for (pid_t p : family(pid))
        ticks += std::stol(stat_field(p, 14)) + std::stol(stat_field(p, 15));
    return ticks;
}

// The one child of pid, once fork has made it; -1 if none comes.
pid_t only_child(pid_t pid) {
    std::vector<pid_t> kids;
    return eventually([&] { return (kids = children(pid)).size() == 1; }) ? kids[0] : -1;
}

std::string name_of(pid_t pid) {
    std::ifstream comm("/proc/" + std::to_string(pid) + "/comm");
    return std::string(std::istreambuf_iterator<char>(comm), {});
}

// A process stuck in a signal loop would burn a tick every 10 ms.
void expect_no_spin(pid_t pid) {
    const long before = cpu_ticks(pid);
    std::this_thread::sleep_for(Ms{300});
    EXPECT_LE(cpu_ticks(pid) - before, 3);
}

// A server whose every line fails, or goes nowhere, still registers and
// echoes: with SIGPIPE on the pipe, the notice's own write too.
void expect_served_without_output(const Program& server) {
    Udp a;
    ASSERT_NO_FATAL_FAILURE(expect_registration(nullptr, a, kGreeting, 1));
    for (int i = 0; i < 20; ++i)
        ASSERT_NO_FATAL_FAILURE(expect_echo(nullptr, a, 10001, random_bytes(50)));
    ASSERT_EQ(kill(server.pid(), SIGPIPE), 0);
    ASSERT_NO_FATAL_FAILURE(expect_echo(nullptr, a, 10001, "after the signal"));
    expect_no_spin(server.pid());
}

// A server whose registration receive cannot succeed waits on, and does not
// spin: it takes a signal and keeps waiting, each try printing tried.
void expect_waiting(Program& server, const Lines& tried) {
    EXPECT_EQ(server.lines(4 + tried.size()),
              (Lines{kStart[0], "serwer: bind()=-1", kStart[2], kStart[3]} + tried));
    ASSERT_TRUE(sleeping(server.pid()));
    ASSERT_EQ(kill(server.pid(), SIGPIPE), 0);
    EXPECT_EQ(server.lines(1 + tried.size()), Lines{notice(server.pid())} + tried);
    EXPECT_FALSE(server.wait_exit(Ms{100}));
    EXPECT_FALSE(server.line(Ms{0}));
}

// How a stress run registers its clients.
struct Many {
    int clients = 300;
    int burst = 5;                                // greetings queued at once at client 30
    bool restarts = true;                         // the image starts afresh every 16 clients
    std::string name = "tolpan-server";           // that every process bears; "": another's
    bool few_descriptors = true;                  // not so under valgrind, which holds its own
    std::function<void(int)> after = [](int) {};  // after each client
};

// Registers the clients one after another, then echoes from each; checks
// that the image started afresh, that every process bears its name and
// holds its standard streams, the registration socket and its own socket
// alone, and that an interrupt to the group ends every one.
void expect_many(Program& server, const Many& many) {
    ASSERT_EQ(server.lines(4), kStart);
    Udp a;
    // Room for the replies to a burst, which runs only where root on the
    // host may force it.
    const int room = 1 << 22;
    ASSERT_TRUE(!real_root() || setsockopt(a.fd(), SOL_SOCKET, SO_RCVBUFFORCE, &room, sizeof room) == 0);
    int n = 1;
    for (; n <= many.clients; ++n) {
        // The image starts afresh after this client: a registration
        // service that bears the file's name from its first instruction.
        const bool restart = n % 16 == 0 && many.restarts && many.name == "tolpan-server";
        const pid_t registrar = restart || n == 30 ? family(server.pid()).back() : 0;
        // Greetings queued across a restart are all answered, in order.
        if (n == 30) {
            ASSERT_EQ(kill(registrar, SIGSTOP), 0);
            for (int k = 0; k < many.burst; ++k)
                ASSERT_TRUE(a.send(10000, kGreeting));
            ASSERT_EQ(kill(registrar, SIGCONT), 0);
            for (const int end = n + many.burst; n < end; ++n) {
                const auto reply = a.receive();
                ASSERT_TRUE(reply);
                EXPECT_EQ(reply->bytes, std::to_string(n) + '\0');
                ASSERT_EQ(server.lines(6), registered(n, 8));
            }
        }
        ASSERT_NO_FATAL_FAILURE(expect_registration(&server, a, kGreeting, n));
        std::vector<pid_t> fresh;
        for (int i = 0; restart && i < 100000 && (fresh = children(registrar)).empty(); ++i) {
        }
        for (int i = 0; restart && i < 2000; ++i) {
            const std::string name = name_of(fresh.at(0));
            ASSERT_TRUE(name.empty() || name == many.name + "\n" || name == "tolpan-server\n")
                << "named " << name;
        }
        ASSERT_NO_FATAL_FAILURE(many.after(n));
    }
    for (int k = 1; k < n; ++k)
        ASSERT_NO_FATAL_FAILURE(
            expect_echo(&server, a, static_cast<std::uint16_t>(10000 + k), "to " + std::to_string(k)));
    const std::vector<pid_t> all = family(server.pid());
    for (pid_t pid : all) {
        EXPECT_TRUE(many.name.empty() || name_of(pid) == many.name + "\n") << name_of(pid);
        EXPECT_TRUE(!many.few_descriptors || open_descriptors(pid) <= 5U) << open_descriptors(pid);
    }
    // The registration service bears the words of its last fresh start,
    // made by the process that went on to serve that next client.
    const Lines words = words_of(all.back());
    ASSERT_EQ(words.size() == 6 && words[1] == "--resume-registration", many.restarts) << words.size();
    if (many.restarts) {
        const int next = (n - 1) / 16 * 16 + 1;
        EXPECT_EQ(words[2], std::to_string(next));
        EXPECT_EQ(words[4], std::to_string(all.at(static_cast<std::size_t>(next - 1))));
        EXPECT_TRUE(many.name.empty() || words[5] == many.name) << words[5];
    }
    ASSERT_EQ(killpg(server.pid(), SIGINT), 0);
    for (pid_t pid : all)
        EXPECT_EQ(zombie_status(pid), 128 + SIGINT) << "pid " << pid;
    EXPECT_EQ(server.stop(), "");
}

// A copy of the server run in a mount namespace of its own, after hide.
std::vector<std::string> hidden(const ProgramCopy& copy, const std::string& hide) {
    return {"unshare", "--mount", "/bin/sh", "-c", hide + " && ulimit -n 64 && exec \"$0\"", copy.path()};
}

}  // namespace

TEST(Server, RegistersAndEchoesWithExactLines) {
    Program server(server_command(), "", kPackets);
    ASSERT_EQ(server.lines(4), kStart);

    // Twelve clients from one source; an empty and a long datagram count as
    // greetings. The real client is client 12.
    Udp a;
    Udp b;
    Udp c;
    Udp d;
    for (int n = 1; n <= 11; ++n) {
        const std::string greeting = n == 3 ? "" : n == 4 ? std::string(150, 'g') : kGreeting;
        ASSERT_NO_FATAL_FAILURE(expect_registration(&server, a, greeting, n));
    }
    Program client(client_command());
    EXPECT_EQ(client.lines(8),
              (Lines{"Program TOLPAN - KLIENT zaczyna działanie", "klient: bind()=0", "próba połączenia",
                     "Połączono", "Otrzymana wiadomość: 12", "Nr klienta odebrany w wiadomości: 12",
                     "Rzeczywisty port OK: 10012", "Wpisz coś"}));
    ASSERT_EQ(server.lines(6), registered(12, 8));
    ASSERT_TRUE(client.write("real line\n"));
    EXPECT_EQ(client.lines(4),
              (Lines{"Wysłano z sukcesem", "Udany odbiór wiadomości: real line", "", "Wpisz coś"}));
    ASSERT_EQ(server.lines(2), echoed(10012, 99));

    for (std::size_t size : {0U, 1U, 99U, 150U, 65507U})
        ASSERT_NO_FATAL_FAILURE(expect_echo(&server, a, 10001, random_bytes(size)));
    // Whoever sends gets the echo: a third party, then the client again.
    ASSERT_NO_FATAL_FAILURE(expect_echo(&server, c, 10001, "third party"));
    ASSERT_NO_FATAL_FAILURE(expect_echo(&server, a, 10001, "client again"));
    ASSERT_NO_FATAL_FAILURE(expect_echo(&server, b, 10012, "to twelve"));
    // From a port of the server's, but another loopback address.
    Udp e(10000, INADDR_LOOPBACK + 1);
    ASSERT_NO_FATAL_FAILURE(expect_echo(&server, e, 10012, "from 127.0.0.2"));
    // Nothing is bound beyond 127.0.0.1.
    ASSERT_TRUE(c.send(10000, kGreeting, INADDR_LOOPBACK + 1) && c.send(10001, "x", INADDR_LOOPBACK + 1));
    EXPECT_FALSE(c.receive(Ms{100}));

    // The process that the user started serves port 10001, the next 10002;
    // a newer one registers. The bursts queued meanwhile, from two senders
    // to each, are echoed in order, each datagram to its sender, and every
    // line of both comes whole, all out before the handlers wait.
    const pid_t handlers[] = {server.pid(), only_child(server.pid())};
    for (pid_t pid : handlers)
        ASSERT_EQ(kill(pid, SIGSTOP), 0);
    const Udp* senders[] = {&a, &b, &c, &d};  // to 10001, 10002, 10001, 10002
    std::map<std::uint16_t, Lines> bursts;
    for (std::size_t i = 0; i < 300; ++i) {
        const auto port = static_cast<std::uint16_t>(10001 + i % 2);
        ASSERT_TRUE(senders[i % 4]->send(port, std::string(i / 2 % 100, 'h')));
        bursts[port].insert(bursts[port].end(), {echoed(port, i / 2 % 100)[0], echoed(port, i / 2 % 100)[1]});
    }
    ASSERT_NO_FATAL_FAILURE(expect_registration(&server, d, kGreeting, 13));  // ahead of d's held echoes
    EXPECT_FALSE(a.receive(Ms{200}));
    ASSERT_EQ(killpg(server.pid(), SIGCONT), 0);
    for (std::size_t i = 0; i < 300; ++i) {
        const auto held = senders[i % 4]->receive();
        ASSERT_TRUE(held);
        EXPECT_EQ(held->bytes, std::string(i / 2 % 100, 'h'));
    }
    for (pid_t pid : handlers)
        ASSERT_TRUE(sleeping(pid));
    std::map<std::uint16_t, Lines> out;
    for (const auto& line : server.lines(600, Ms{0}))
        out[static_cast<std::uint16_t>(
                std::strtol(line.c_str() + std::min(line.find("100"), line.size()), nullptr, 10))]
            .push_back(line);
    EXPECT_EQ(out, bursts);

    // No socket of the server or the client, nor of this test, is bound to
    // every address; each write held whole lines. Every line came exactly
    // once: nothing is left, even once all have ended.
    for (const auto& address : private_network() ? udp_addresses() : Lines{})
        EXPECT_NE(address, "00000000");
    EXPECT_TRUE(server.wrote_whole_lines());
    EXPECT_EQ(server.stop(), "");
}

TEST(Server, RegistrationPortTakenWaitsAllTheSame) {
    Udp squatter(10000);
    ASSERT_TRUE(squatter.ok());
    Program server(server_command());
    expect_waiting(server, {});
}

TEST(Server, NoDescriptorLeftFailsEveryReceiveAndWaits) {
    if (!TOLPAN_STATIC_SERVER)
        GTEST_SKIP() << "a dynamically linked server cannot load its libraries then";
    Program server(in_shell(server_command(), "ulimit -n 0 && exec \"$@\""));
    expect_waiting(server, {"Błąd recfrom serwer"});
}

TEST(Server, FailedCallsAreReportedAndServedOn) {
    // A failed receive waits for a datagram before it tries again; one that
    // finds nothing once its wait said a datagram had come has failed. Port
    // 10002 is taken when client 2 comes.
    Udp squatter(10002);
    ASSERT_TRUE(squatter.ok());
    Program server(in_shell(server_command(), with_faults(kServerCallsFail)));
    ASSERT_EQ(server.lines(4), kStart);
    Udp a;
    ASSERT_TRUE(a.send(10000, kGreeting));
    Lines lines = registered(1, 8);
    lines[3] = "Błąd sendto obsluga klienta";
    lines.push_back("Błąd recfrom");
    EXPECT_EQ(server.lines(7), lines);
    EXPECT_FALSE(a.receive(Ms{100}));
    EXPECT_FALSE(server.line(Ms{100}));
    ASSERT_TRUE(a.send(10001, "lost"));
    EXPECT_EQ(server.lines(4), (Lines{"Błąd recfrom", echoed(10001, 4)[0], "Błąd sendto", "Błąd recfrom"}));
    ASSERT_TRUE(a.send(10000, kGreeting));
    EXPECT_EQ(server.lines(3), (Lines{"serwer: recvfrom(...)=8", "Bufor z nr klienta: 2", "Błąd bind"}));

    // The registration service ends with 255; nobody waits for it, so it
    // stays a zombie whose status /proc shows. Handler 1 goes on.
    EXPECT_EQ(zombie_status(only_child(only_child(server.pid()))), 255);
    ASSERT_NO_FATAL_FAILURE(expect_echo(&server, a, 10001, "handler 1 goes on"));
    ASSERT_TRUE(a.send(10000, kGreeting));
    EXPECT_FALSE(a.receive(Ms{200}));
}

TEST(Server, NoSocketOfTheServerTalksToAnother) {
    Program server(server_command());
    ASSERT_EQ(server.lines(4), kStart);
    auto refused = [](Lines lines) {
        lines[3] = "Błąd sendto obsluga klienta";
        return lines;
    };
    // Greetings from ports that are free again once the registration service
    // takes them up.
    auto greet_from = [](pid_t registrar, std::initializer_list<std::uint16_t> ports) {
        ASSERT_EQ(kill(registrar, SIGSTOP), 0);
        for (std::uint16_t port : ports)
            ASSERT_TRUE(Udp(port).send(10000, kGreeting));
        ASSERT_EQ(kill(registrar, SIGCONT), 0);
    };
    // From the next handler port: the reply would go to the handler itself.
    ASSERT_NO_FATAL_FAILURE(greet_from(server.pid(), {10001}));
    EXPECT_EQ(server.lines(6), refused(registered(1, 8)));

    // From the next two handler ports, the later port first: the reply for
    // client 3 would go to handler 2.
    ASSERT_NO_FATAL_FAILURE(greet_from(only_child(server.pid()), {10003, 10002}));
    EXPECT_EQ(server.lines(6), registered(2, 8));
    EXPECT_EQ(server.lines(6), refused(registered(3, 8)));

    // A datagram from the next handler port, echoed by handler 1 only once
    // handler 4 holds that port: handler 4 does not echo it back.
    ASSERT_EQ(kill(server.pid(), SIGSTOP), 0);
    ASSERT_TRUE(Udp(10004).send(10001, "x"));
    Udp a;
    ASSERT_NO_FATAL_FAILURE(expect_registration(&server, a, kGreeting, 4));
    ASSERT_EQ(kill(server.pid(), SIGCONT), 0);
    Lines echoes = server.lines(4);
    std::sort(echoes.begin(), echoes.end());
    EXPECT_EQ(echoes, (Lines{"Błąd sendto", echoed(10001, 1)[0], echoed(10001, 1)[1], echoed(10004, 1)[0]}));

    // Nothing goes on: no line, no tick; a client is served as ever.
    const long before = cpu_ticks(server.pid());
    EXPECT_FALSE(server.line(Ms{300}));
    EXPECT_LE(cpu_ticks(server.pid()) - before, 3);
    ASSERT_NO_FATAL_FAILURE(expect_registration(&server, a, kGreeting, 5));
    ASSERT_NO_FATAL_FAILURE(expect_echo(&server, a, 10005, "served"));
}

TEST(Server, ResumesOnlyWhatItsRestartHandsOver) {
    // The words that a restarting image hands itself, then its pid ($$: the
    // shell's, which exec keeps) and name; descriptor 3 as redirected.
    std::optional<Udp> reg(10000);  // a real registration socket, but not the server's own
    Udp other;
    ASSERT_TRUE(reg->ok());
    ASSERT_NE(fcntl(reg->fd(), F_SETFD, 0), -1);  // inherited
    ASSERT_NE(fcntl(other.fd(), F_SETFD, 0), -1);
    const std::string fd = "<&" + std::to_string(reg->fd());
    // The words of a restart after its flag, with descriptor 3 redirected as
    // given; $$ is the shell's pid, which exec keeps.
    auto resume = [](const std::string& words, const std::string& fd3) {
        return "exec \"$@\" --resume-registration " + words + " 3" + fd3;
    };
    // Each fails a check: word count, process id, descriptor, socket; words
    // that a restart never writes; sockets of another kind on the port.
    const int tcp = socket(AF_INET, SOCK_STREAM, 0);
    const int lite = socket(AF_INET, SOCK_DGRAM, IPPROTO_UDPLITE);  // where the kernel has it
    const sockaddr_in port = loopback(10000);
    ASSERT_EQ(bind(tcp, reinterpret_cast<const sockaddr*>(&port), sizeof port), 0);
    std::vector<std::string> forged = {
        resume("55535 3 $$ tolpan-server extra", fd),
        resume("55535 3 1 tolpan-server", fd),
        resume("55535 3 $$ tolpan-server", "</dev/null"),
        resume("55535 3 $$ tolpan-server", "<&" + std::to_string(other.fd())),
        resume("+55535 3 $$ tolpan-server", fd),
        resume("55535 ' 3' $$ tolpan-server", fd),
        resume("55537 3 $$ tolpan-server", fd),
        resume("55535 3 $$ tolpan-server", "<&" + std::to_string(tcp)),
    };
    if (lite != -1 && bind(lite, reinterpret_cast<const sockaddr*>(&port), sizeof port) == 0)
        forged.push_back(resume("55535 3 $$ tolpan-server", "<&" + std::to_string(lite)));
    for (const auto& script : forged) {
        SCOPED_TRACE(script);
        Program server(in_shell(server_command(), script + " 2>&1"), "/dev/null");
        EXPECT_EQ(server.lines(20), Lines{refused("tolpan-server", "--resume-registration")});
        EXPECT_EQ(server.wait_exit(), 2);
        EXPECT_FALSE(reg->receive(Ms{0})) << "a greeting was sent";
    }

    // Resumed at the last client: the next one has no port to be given. The
    // ports below lie free here, which they cannot while their handlers live,
    // and the server sends nothing to them: a client port below 10000.
    Program resumed(in_shell(server_command(), resume("55535 3 $$ tolpan-server", fd)));
    Udp a(9000);
    ASSERT_TRUE(a.ok());
    ASSERT_NO_FATAL_FAILURE(expect_registration(&resumed, a, kGreeting, 55535));
    // Handed a blocking socket, it waits all the same, with the notice let through.
    const pid_t registrar = only_child(resumed.pid());
    ASSERT_TRUE(sleeping(registrar));
    ASSERT_EQ(kill(registrar, SIGPIPE), 0);
    EXPECT_EQ(resumed.line(), notice(registrar));
    ASSERT_TRUE(a.send(10000, kGreeting));
    EXPECT_EQ(resumed.lines(3), (Lines{"serwer: recvfrom(...)=8", "Bufor z nr klienta: 55536", "Błąd bind"}));
    EXPECT_EQ(zombie_status(only_child(resumed.pid())), 255);
    ASSERT_NO_FATAL_FAILURE(expect_echo(&resumed, a, 65535, "the last port"));
    close(tcp);
    close(lite);
}

TEST(Server, StrayEnvironmentAndDescriptorsStartAfresh) {
    Program fresh(in_shell(server_command(), "TOLPAN=1 exec \"$@\" 3</dev/null"));
    ASSERT_EQ(fresh.lines(4), kStart);
    Udp a;
    ASSERT_NO_FATAL_FAILURE(expect_registration(&fresh, a, kGreeting, 1));
}

TEST(Server, FailedForkServesTheClientAndRegistersNoMore) {
    if (!real_root())
        GTEST_SKIP() << "only root on the host may start it as another user";
    // No process to spare for the user nobody but this one; the copy is one
    // that nobody may run.
    const ProgramCopy copy(server_command().back());
    ASSERT_NE(copy.path(), "");
    Program server(in_shell(
        {copy.path()}, "exec setpriv --reuid=65534 --regid=65534 --clear-groups prlimit --nproc=1 \"$@\""));
    ASSERT_EQ(server.lines(4), kStart);
    Udp a;
    ASSERT_NO_FATAL_FAILURE(expect_registration(&server, a, kGreeting, 1));
    EXPECT_EQ(server.line(), "Błąd fork");
    ASSERT_NO_FATAL_FAILURE(expect_echo(&server, a, 10001, "served all the same"));
    EXPECT_TRUE(children(server.pid()).empty());
    ASSERT_TRUE(a.send(10000, kGreeting));
    EXPECT_FALSE(a.receive(Ms{200}));
}

TEST(Server, ClosedStandardStreamsAreDevNull) {
    if (!private_network())
        GTEST_SKIP() << "no line would show whose server holds the port";
    Program server(in_shell(server_command(), "exec \"$@\" <&- >&- 2>&-"));
    ASSERT_TRUE(sleeping(server.pid()));  // bound, and waiting for greetings
    for (int fd = 0; fd <= 2; ++fd)
        EXPECT_EQ(std::filesystem::read_symlink("/proc/" + std::to_string(server.pid()) + "/fd/" +
                                                std::to_string(fd)),
                  "/dev/null");
    ASSERT_NO_FATAL_FAILURE(expect_served_without_output(server));
}

TEST(Server, OutputWithoutReaderCostsAFailedWriteAStep) {
    Program server(server_command());
    ASSERT_EQ(server.lines(4), kStart);
    server.close_output();
    ASSERT_NO_FATAL_FAILURE(expect_served_without_output(server));
}

TEST(Server, UnreadOutputHoldsSigpipeAndLosesNoLine) {
    // Started the ordinary way, with SIGPIPE let through: the process must
    // hold it while it waits for the full pipe, blocking or not.
    for (const unsigned start : {kOrdinary, kOrdinary | kNonBlockingOutput}) {
        SCOPED_TRACE(start);
        Program server(server_command(), "", "", start);
        ASSERT_EQ(server.lines(4), kStart);
        Udp a;
        ASSERT_NO_FATAL_FAILURE(expect_registration(nullptr, a, kGreeting, 1));
        // Echoes until the pipe is full and the handler waits to write.
        std::size_t echoes = 0;
        while (echoes < 5000 && a.send(10001, "fill") && a.receive(Ms{100}))
            ++echoes;
        ASSERT_TRUE(sleeping(server.pid()));
        EXPECT_TRUE(sigpipe_held(server.pid()));
        expect_no_spin(server.pid());
        // Read at last, the pipe lets the handler go on: the held echo comes,
        // and every line.
        Lines lines = registered(1, 8);
        for (std::size_t i = 0; i <= echoes; ++i)
            lines = lines + echoed(10001, 4);
        EXPECT_EQ(server.lines(lines.size()), lines);
        EXPECT_TRUE(a.receive());
    }
}

TEST(Server, TerminalShowsEachLineAsItIsMade) {
    // The handler is held up before its wait, where it would write its lines.
    Program server(in_shell(server_command(), with_faults(kServerSlowAfterEcho)), "", kTerminal);
    ASSERT_EQ(server.lines(4), kStart);
    Udp a;
    ASSERT_NO_FATAL_FAILURE(expect_registration(nullptr, a, kGreeting, 1));
    ASSERT_EQ(server.lines(6), registered(1, 8));
    ASSERT_TRUE(sleeping(only_child(server.pid())));
    ASSERT_NO_FATAL_FAILURE(expect_echo(nullptr, a, 10001, "at once"));
    EXPECT_EQ(server.lines(2, Ms{1000}), echoed(10001, 7));
    expect_no_spin(server.pid());
}

// With 64 descriptors, a server whose processes kept every handler socket
// stopped at client 61.
TEST(ServerStress, KeepsItsNameAsItsFileIsRenamedReplacedAndRemoved) {
    const ProgramCopy copy(server_command().back());
    ASSERT_NE(copy.path(), "");
    // Started through a link, as an upgrade may leave it: the file renamed,
    // a new one put in its place, then the old one removed.
    const std::string link = copy.path().substr(0, copy.path().rfind('/')) + "/srv";
    ASSERT_EQ(symlink(copy.path().c_str(), link.c_str()), 0);
    Program server(in_shell({link}, "ulimit -n 64 && exec \"$@\""));
    auto upgrade = [&](int n) {
        const std::string old = copy.path() + ".old";
        if (n == 100) {
            ASSERT_EQ(std::rename(copy.path().c_str(), old.c_str()), 0);
            std::ofstream(copy.path()) << "#!/bin/sh\nexit 3\n";
            ASSERT_EQ(chmod(copy.path().c_str(), 0755), 0);
        }
        if (n == 200) {
            ASSERT_EQ(std::remove(old.c_str()), 0);
        }
    };
    expect_many(server, {.name = "srv", .after = upgrade});
}

TEST(ServerStress, RunsWithoutDevAndItsInputClosed) {
    if (!private_network())
        GTEST_SKIP() << "no namespace in which to hide /dev";
    // The registration socket lands on descriptor 0, which no /dev/null takes.
    const ProgramCopy copy(server_command().back());
    ASSERT_NE(copy.path(), "");
    Program server(hidden(copy, "mount -t tmpfs none /dev && exec <&-"));
    expect_many(server, {});
}

TEST(ServerStress, RestartsFromAnOverlayOfTwoFilesystems) {
    if (!private_network())
        GTEST_SKIP() << "no namespace in which to mount";
    // The lower layer on a tmpfs: the program's mapping names that device,
    // and its file the overlay's.
    const ProgramCopy copy(server_command().back());
    ASSERT_NE(copy.path(), "");
    const std::string dir = copy.path().substr(0, copy.path().rfind('/'));
    const std::string overlay =
        "cd \"$0\" && mkdir l u w m && mount -t tmpfs none l && cp tolpan-server l && "
        "mount -t overlay none -o \"lowerdir=$0/l,upperdir=$0/u,workdir=$0/w\" m && ulimit -n 64 && "
        "exec m/tolpan-server";
    Program server({"unshare", "--mount", "/bin/sh", "-c", overlay, dir});
    expect_many(server, {});
}

TEST(ServerStress, AnswersABurstLargerThanADefaultQueueHolds) {
    if (!real_root())
        GTEST_SKIP() << "only root on the host may give the queue room for a burst";
    Udp probe;
    Udp from;
    for (int k = 0; k < 2000; ++k)
        ASSERT_TRUE(from.send(probe.port(), kGreeting));
    int held = 0;
    while (probe.receive(Ms{0}))
        ++held;
    ASSERT_LT(held, 2000);
    Program server(server_command());
    expect_many(server, {.clients = 2040, .burst = 2000});
}

TEST(ServerStress, RunsWithoutProcWithoutRestarting) {
    if (!real_root())
        GTEST_SKIP() << "only root on the host may unmount /proc";
    const ProgramCopy copy(server_command().back());
    ASSERT_NE(copy.path(), "");
    Program server(hidden(copy, "umount -l /proc"));
    expect_many(server, {.restarts = false});
}

TEST(ServerStress, RestartsUnderValgrindAndRunsOnOutsideIt) {
    if (TOLPAN_SANITIZED || std::string(TOLPAN_VALGRIND).empty())
        GTEST_SKIP() << "valgrind cannot run a sanitized program, or is not here";
    // Named after valgrind's tool.
    Program server({TOLPAN_VALGRIND, "-q", "--vgdb=no", "--tool=none", server_command().back()});
    expect_many(server, {.clients = 20, .name = "", .few_descriptors = false});
}

TEST(ServerStress, RunsOnThroughItsElfInterpreterWithoutRestarting) {
    // /proc/self/exe then names the interpreter, not the program.
    const ProgramCopy copy(TOLPAN_DYNAMIC_SERVER);
    ASSERT_NE(copy.path(), "");
    Program server(in_shell({copy.path()},
                            "ulimit -n 64 && exec \"$(readelf -l /bin/sh | sed -n "
                            "'s/.*interpreter: \\(.*\\)]$/\\1/p')\" \"$@\""));
    expect_many(server, {.restarts = false, .name = ""});
}

TEST(ServerStress, RandomDatagramsAndGreetingsUnderSigpipes) {
    // On a terminal, started the ordinary way, with SIGPIPE let through:
    // the notice must still never land inside a line, nor end a receive.
    Program server(server_command(), "", kTerminal, kOrdinary);
    ASSERT_EQ(server.lines(4), kStart);
    Udp a;
    std::mt19937 gen(11);
    const std::string noise = random_bytes(kMaxDatagram);
    auto slice = [&] {
        const std::size_t size = gen() % (noise.size() + 1);
        return noise.substr(gen() % (noise.size() - size + 1), size);
    };
    // 2,000 rounds: a greeting, or SIGPIPE to handler 1 and the registration
    // service and two datagrams in flight to a handler, all of random bytes.
    std::map<int, Lines> expected;  // by handler port; 0: registrations
    std::map<pid_t, int> sent;
    Lines out;
    pid_t registrar = server.pid();
    int clients = 0;
    for (int i = 0; i < 2000; ++i) {
        if (i % 40 == 0) {
            const std::string greeting = slice();
            ASSERT_NO_FATAL_FAILURE(expect_registration(nullptr, a, greeting, ++clients));
            const Lines lines = registered(clients, std::min<std::size_t>(greeting.size(), 99));
            expected[0].insert(expected[0].end(), lines.begin(), lines.end());
            registrar = only_child(registrar);
            continue;
        }
        for (pid_t pid : {server.pid(), registrar}) {
            ASSERT_EQ(kill(pid, SIGPIPE), 0);
            ++sent[pid];
        }
        const auto port = static_cast<std::uint16_t>(10001 + gen() % static_cast<unsigned>(clients));
        const std::string bytes[] = {slice(), slice()};
        for (const auto& b : bytes)
            ASSERT_TRUE(a.send(port, b));
        for (const auto& b : bytes) {
            const auto echo = a.receive();
            ASSERT_TRUE(echo);
            EXPECT_EQ(echo->bytes, b.substr(0, 99));
            const Lines lines = echoed(port, std::min<std::size_t>(b.size(), 99));
            expected[port].insert(expected[port].end(), lines.begin(), lines.end());
        }
        for (const auto& l : server.lines(SIZE_MAX, Ms{0}))
            out.push_back(l);
    }
    for (const auto& l : server.lines(SIZE_MAX, Ms{200}))
        out.push_back(l);

    // Each process signalled printed its own notice, at most one a signal
    // (signals that meet one pending merge); every other line came whole, in
    // its process's order, and no receive or send failed.
    std::map<pid_t, int> notices;
    std::map<int, Lines> got;
    const std::string handler = "obsługa klienta ";
    for (const auto& l : out) {
        if (l.rfind("pojawil", 0) == 0) {
            const pid_t pid = std::stoi(l.substr(l.find("==") + 2));
            EXPECT_EQ(l, notice(pid));
            ++notices[pid];
        } else {
            got[l.rfind(handler, 0) == 0
                    ? static_cast<int>(std::strtol(l.c_str() + handler.size(), nullptr, 10))
                    : 0]
                .push_back(l);
        }
    }
    EXPECT_EQ(got, expected);
    for (const auto& [pid, n] : sent)
        EXPECT_GE(notices[pid], 1) << "pid " << pid;
    for (const auto& [pid, n] : notices)
        EXPECT_LE(n, sent[pid]) << "pid " << pid;
    // Every handler and the registration service (which may be forking now).
    const auto all = static_cast<std::size_t>(clients) + 1;
    EXPECT_TRUE(eventually([&] { return family(server.pid()).size() == all; })) << "a process died";
}
