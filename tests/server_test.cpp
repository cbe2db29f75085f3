// SPDX-License-Identifier: ISC
#include <fcntl.h>
#include <gtest/gtest.h>
#include <rapidcheck.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <csignal>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <random>

#include "support.h"

using namespace ts;

namespace {

// Faults injected into the server's first process, with one client that
// greets and then sends datagrams one at a time: recvfrom 1 finds nothing
// yet, 2 takes the greeting, and sendto 1 sends the reply; as the client's
// handler, recvfrom 3 finds nothing yet, and 4 takes the first datagram when
// nothing fails, which sendto 2 echoes. The reply and the first echo fail;
// the handler's first two receives fail, and the fourth wait says that a
// datagram has come when none has.
const std::string kServerCallsFail =
    "-e inject=sendto:error=EIO:when=1..2 -e inject=recvfrom:error=EIO:when=3..4 -e inject=ppoll:retval=1:when=4";
// The handler's receive after its first echo is held up for 2 s.
const std::string kServerSlowAfterEcho = "-e inject=recvfrom:delay_enter=2000000:when=5";

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

// A server whose every line fails, or goes nowhere, still registers and
// echoes: with SIGPIPE on the pipe, the notice's own write too.
void expect_served_without_output(const Program& server) {
    Udp a;
    ASSERT_NO_FATAL_FAILURE(expect_registration(nullptr, a, kGreeting, 1));
    for (int i = 0; i < 20; ++i)
        ASSERT_NO_FATAL_FAILURE(expect_echo(nullptr, a, 10001, random_bytes(50)));
    ASSERT_EQ(kill(server.pid(), SIGPIPE), 0);
    ASSERT_NO_FATAL_FAILURE(expect_echo(nullptr, a, 10001, "after the signal"));
    EXPECT_LE(ticks_in(server.pid()), 3);
}

// A registration service resumed at client n on the socket reg, as its
// fresh start hands them over; $$ is the shell's pid, which exec keeps.
std::vector<std::string> resumed_at(const std::string& words, int reg) {
    (void)fcntl(reg, F_SETFD, 0);
    return in_shell(server_command(),
                    "exec \"$@\" --resume-registration " + words + " 3<&" + std::to_string(reg) + " 2>&1");
}

// How a stress run registers its clients.
struct Many {
    int clients = 40;
    int burst = 5;                                // greetings queued at once at client 20
    bool restarts = true;                         // the image starts afresh every 16 clients
    std::string name = "tolpan-server";           // that every process bears; "": another's
    std::size_t descriptors = 4;                  // that a process holds at most
    std::vector<int> ignored = {};                // by every process, as they were at start
    int end = SIGINT;                             // that ends every process
    std::function<void(int)> after = [](int) {};  // after each client
};

// Registers the clients one after another, then echoes from each; checks
// that the image started afresh, that every process bears its name and
// holds its standard streams and one socket, that the registration socket
// goes with its service, and that a signal to the group ends every one.
void expect_many(Program& server, const Many& many) {
    ASSERT_EQ(server.lines(4), kServerStart);
    Udp a;
    // Room for the replies to a burst, which runs only where root on the
    // host may force it.
    const int room = 1 << 22;
    ASSERT_TRUE(!real_root() || setsockopt(a.fd(), SOL_SOCKET, SO_RCVBUFFORCE, &room, sizeof room) == 0);
    int n = 1;
    for (; n <= many.clients; ++n) {
        const bool restart = n % 16 == 0 && many.restarts;
        const pid_t registrar = restart || n == 20 ? family(server.pid()).back() : 0;
        // Greetings queued across a restart are all answered, in order.
        if (n == 20) {
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
        // The fresh image bears its name, or its file's as the kernel gives
        // it, from its first instruction: caught as soon as it is forked.
        std::vector<pid_t> fresh;
        const auto deadline = std::chrono::steady_clock::now() + kWait;
        while (restart && (fresh = children(registrar)).empty() && std::chrono::steady_clock::now() < deadline) {
        }
        ASSERT_EQ(fresh.empty(), !restart);
        for (int i = 0; restart && i < 2000; ++i) {
            const std::string name = name_of(fresh[0]);
            ASSERT_TRUE(name.empty() || many.name.empty() || name == many.name + "\n" || name == "tolpan-server\n" ||
                        name == "tolpan-server.o\n")
                << name;
        }
        ASSERT_NO_FATAL_FAILURE(many.after(n));
    }
    for (int k = 1; k < n; ++k)
        ASSERT_NO_FATAL_FAILURE(
            expect_echo(&server, a, static_cast<std::uint16_t>(10000 + k), "to " + std::to_string(k)));
    const std::vector<pid_t> all = family(server.pid());
    for (pid_t pid : all) {
        EXPECT_TRUE(many.name.empty() || name_of(pid) == many.name + "\n") << name_of(pid);
        EXPECT_LE(open_descriptors(pid), many.descriptors);
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
    // Once it is gone, no handler holds port 10000.
    ASSERT_EQ(kill(all.back(), SIGKILL), 0);
    EXPECT_TRUE(eventually([] { return Udp(10000).ok(); })) << "port 10000 still held";
    for (const int sig : many.ignored)
        ASSERT_EQ(killpg(server.pid(), sig), 0);
    ASSERT_EQ(killpg(server.pid(), many.end), 0);
    for (pid_t pid : all)
        EXPECT_EQ(zombie_status(pid), pid == all.back() ? 128 + SIGKILL : 128 + many.end) << "pid " << pid;
    EXPECT_EQ(server.stop(), "");
}

// A copy of the server run in a mount namespace of its own, after hide.
std::vector<std::string> hidden(const ProgramCopy& copy, const std::string& hide) {
    return {"unshare", "--mount", "/bin/sh", "-c", hide + " && ulimit -n 64 && exec \"$0\"", copy.path()};
}

}  // namespace

TEST(Server, RegistersAndEchoesWithExactLines) {
    Program server(server_command(), {Kind::Packets});
    ASSERT_EQ(server.lines(4), kServerStart);

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
    ASSERT_NO_FATAL_FAILURE(expect_echo(&server, b, 10012, "to twelve"));
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
        bursts[port] = bursts[port] + echoed(port, i / 2 % 100);
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

TEST(Server, WaitsOnWhenItCannotReceive) {
    // Port 10000 taken: bound to nothing, it waits all the same. No
    // descriptor left: every receive fails, and it waits for a signal.
    Udp squatter(10000);
    ASSERT_TRUE(squatter.ok());
    for (const bool descriptors : {true, false}) {
        if (!descriptors && !TOLPAN_STATIC_SERVER)
            continue;  // a dynamically linked server cannot load its libraries then
        const Lines tried = descriptors ? Lines{} : Lines{"Błąd recfrom serwer"};
        Program server(in_shell(server_command(), descriptors ? "exec \"$@\"" : "ulimit -n 0 && exec \"$@\""));
        EXPECT_EQ(server.lines(4 + tried.size()),
                  (Lines{kServerStart[0], "serwer: bind()=-1", kServerStart[2], kServerStart[3]} + tried));
        ASSERT_TRUE(sleeping(server.pid()));
        ASSERT_EQ(kill(server.pid(), SIGPIPE), 0);
        EXPECT_EQ(server.lines(1 + tried.size()), Lines{notice(server.pid())} + tried);
        EXPECT_FALSE(server.wait_exit(Ms{100}));
        EXPECT_FALSE(server.line(Ms{0}));
    }
}

TEST(Server, FailedCallsAreReportedAndServedOn) {
    // A failed receive waits for a datagram before it tries again; one that
    // finds nothing once its wait said a datagram had come has failed. Port
    // 10002 is taken when client 2 comes.
    Udp squatter(10002);
    ASSERT_TRUE(squatter.ok());
    Program server(in_shell(server_command(), with_faults(kServerCallsFail)));
    ASSERT_EQ(server.lines(4), kServerStart);
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
    // stays a zombie whose status /proc shows. Handler 1 goes on, and port
    // 10000 is free for another server.
    EXPECT_EQ(zombie_status(only_child(only_child(server.pid()))), 255);
    ASSERT_NO_FATAL_FAILURE(expect_echo(&server, a, 10001, "handler 1 goes on"));
    EXPECT_TRUE(Udp(10000).ok());
}

TEST(Server, NoSocketOfTheServerTalksToAnother) {
    Program server(server_command());
    ASSERT_EQ(server.lines(4), kServerStart);
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
    EXPECT_LE(ticks_in(server.pid()), 3);
    EXPECT_FALSE(server.line(Ms{0}));
    ASSERT_NO_FATAL_FAILURE(expect_registration(&server, a, kGreeting, 5));
    ASSERT_NO_FATAL_FAILURE(expect_echo(&server, a, 10005, "served"));
}

TEST(Server, ResumedAtAnyClientAnswersEverySenderButItsOwnSockets) {
    if (!private_network())
        GTEST_SKIP() << "the host's ports are not the tests' to take";
    // Clients from the first to one past the last; greetings and datagrams
    // of every size, from any port of any loopback address. The ports
    // between 10000 and the handler's lie free here, as those of handlers
    // that have gone.
    sweep("resumed registrations", 30, [] {
        const int n = *rc::gen::oneOf(rc::gen::element(1, 55535, 55536), rc::gen::inRange(1, 55537));
        const auto handler = static_cast<std::uint16_t>(10000 + n);
        const bool home = *rc::gen::arbitrary<bool>();
        const in_addr_t address = home ? INADDR_LOOPBACK : INADDR_LOOPBACK + *rc::gen::inRange(1U, 1U << 24);
        const auto port = *rc::gen::suchThat(rc::gen::inRange<int>(1, 65536), [&](int p) {
            return !home || (p != 10000 && p != handler);
        });
        const auto sizes = *rc::gen::pair(rc::gen::inRange<std::size_t>(0, kMaxDatagram + 1),
                                          rc::gen::inRange<std::size_t>(0, kMaxDatagram + 1));
        RC_CLASSIFY(home && port >= 10000 && port <= handler, "from a socket of the server");
        Udp reg(10000);
        Udp from(static_cast<std::uint16_t>(port), address);
        RC_ASSERT(reg.ok() && from.ok());
        Program server(resumed_at(std::to_string(n) + " 3 $$ tolpan-server", reg.fd()));

        const bool own = home && port > 10000 && port <= handler;
        const std::string greeting = random_bytes(sizes.first);
        RC_ASSERT(from.send(10000, greeting));
        Lines lines = registered(n, std::min<std::size_t>(sizes.first, 99));
        if (n == 55536) {
            RC_ASSERT(server.lines(3) == (Lines{lines[0], lines[1], "Błąd bind"}));
            RC_ASSERT(server.wait_exit() == 255);
            return;
        }
        if (own)
            lines[3] = "Błąd sendto obsluga klienta";
        RC_ASSERT(server.lines(6) == lines);
        const auto reply = from.receive(own ? Ms{20} : kWait);
        RC_ASSERT(reply.has_value() == !own);
        RC_ASSERT(!reply || (reply->bytes == std::to_string(n) + '\0' && reply->port == handler));

        const std::string datagram = random_bytes(sizes.second);
        RC_ASSERT(from.send(handler, datagram));
        lines = echoed(handler, std::min<std::size_t>(sizes.second, 99));
        if (own)
            lines[1] = "Błąd sendto";
        RC_ASSERT(server.lines(2) == lines);
        const auto echo = from.receive(own ? Ms{20} : kWait);
        RC_ASSERT(echo.has_value() == !own);
        RC_ASSERT(!echo || (echo->bytes == datagram.substr(0, 99) && echo->port == handler));
    });
}

TEST(Server, ResumesOnlyTheWordsAndSocketThatItsRestartHandsOver) {
    if (!private_network())
        GTEST_SKIP() << "the host's ports are not the tests' to take";
    // Each word as a restart writes it, or otherwise; a UDP socket on port
    // 10000 of 127.0.0.1, or any other.
    sweep("resumes", 40, [] {
        const std::string digits[] = {"0", "1", "42", "55535", "55536", "55537", "99999999999999999999"};
        const int next = *rc::gen::inRange(0, 7);
        const std::string forms[] = {"%", "0%", "+%", "-%", " %", "% ", "%x", "0x%", ""};
        auto written = [&](const std::string& number, int form) {
            std::string word = forms[form];
            const auto at = word.find('%');
            return "\"" + (at == std::string::npos ? word : word.replace(at, 1, number)) + "\"";
        };
        const auto form = *rc::gen::container<std::vector<int>>(3, rc::gen::weightedElement<int>(
                                                                       {{12, 0}, {2, 1}, {1, 2}, {1, 3}, {1, 4},
                                                                        {1, 5}, {1, 6}, {1, 7}, {1, 8}}));
        const bool right_pid = *rc::gen::weightedElement<bool>({{4, true}, {1, false}});
        const int words = *rc::gen::weightedElement<int>({{6, 4}, {1, 3}, {1, 5}});
        struct Kind {
            int type;
            int protocol;
            in_addr_t address;
            std::uint16_t port;
        };
        const Kind kinds[] = {{SOCK_DGRAM, 0, INADDR_LOOPBACK, 10000},         {SOCK_DGRAM, 0, INADDR_ANY, 10000},
                              {SOCK_DGRAM, 0, INADDR_LOOPBACK + 1, 10000},     {SOCK_DGRAM, 0, INADDR_LOOPBACK, 10001},
                              {SOCK_STREAM, 0, INADDR_LOOPBACK, 10000},        {SOCK_DGRAM, IPPROTO_UDPLITE, INADDR_LOOPBACK, 10000},
                              {SOCK_DGRAM, 0, INADDR_LOOPBACK, 0}};
        const int kind = *rc::gen::weightedElement<int>({{6, 0}, {1, 1}, {1, 2}, {1, 3}, {1, 4}, {1, 5}, {1, 6}});
        const int sock = socket(AF_INET, kinds[kind].type, kinds[kind].protocol);
        RC_PRE(sock != -1);
        const sockaddr_in at{AF_INET, htons(kinds[kind].port), {htonl(kinds[kind].address)}, {}};
        RC_ASSERT(bind(sock, reinterpret_cast<const sockaddr*>(&at), sizeof at) == 0);

        const std::string pid = right_pid ? "$$" : "$(($$ + 1))";
        const std::string all[] = {written(digits[next], form[0]), written("3", form[1]), written(pid, form[2]),
                                   "tolpan-server", "extra"};
        std::string line;
        for (int i = 0; i < words; ++i)
            line += all[i] + " ";
        Program server(resumed_at(line, sock));
        close(sock);
        const bool taken = next >= 1 && next <= 4 && form[0] <= 1 && form[1] <= 1 && form[2] <= 1 && right_pid &&
                           words == 4 && kind == 0;
        RC_TAG(taken ? "taken" : "refused");
        if (!taken) {
            RC_ASSERT(server.lines(2) == Lines{refused("tolpan-server", "--resume-registration")});
            RC_ASSERT(server.wait_exit() == 2);
            return;
        }
        const int n = std::stoi(digits[next]);
        Udp a;
        RC_ASSERT(a.send(10000, kGreeting));
        if (n == 55536) {
            RC_ASSERT(server.lines(3) == (Lines{"serwer: recvfrom(...)=8", "Bufor z nr klienta: 55536", "Błąd bind"}));
            return;
        }
        RC_ASSERT(server.lines(6) == registered(n, 8));
        const auto reply = a.receive();
        RC_ASSERT(reply && reply->bytes == std::to_string(n) + '\0');
    });
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
    ASSERT_EQ(server.lines(4), kServerStart);
    Udp a;
    ASSERT_NO_FATAL_FAILURE(expect_registration(&server, a, kGreeting, 1));
    EXPECT_EQ(server.line(), "Błąd fork");
    ASSERT_NO_FATAL_FAILURE(expect_echo(&server, a, 10001, "served all the same"));
    EXPECT_TRUE(children(server.pid()).empty());
    EXPECT_TRUE(Udp(10000).ok());
}

TEST(Server, OutputClosedOrGoneCostsAFailedWriteAStep) {
    for (const bool closed : {true, false}) {
        // Closed standard streams are /dev/null, not the first sockets.
        Program server(in_shell(server_command(), closed ? "exec \"$@\" <&- >&- 2>&-" : "exec \"$@\""));
        if (closed) {
            ASSERT_TRUE(sleeping(server.pid()));  // bound, and waiting for greetings
            for (int fd = 0; fd <= 2; ++fd)
                EXPECT_EQ(std::filesystem::read_symlink("/proc/" + std::to_string(server.pid()) + "/fd/" +
                                                        std::to_string(fd)),
                          "/dev/null");
        } else {
            ASSERT_EQ(server.lines(4), kServerStart);
            server.close_output();
        }
        ASSERT_NO_FATAL_FAILURE(expect_served_without_output(server));
    }
}

TEST(Server, TerminalShowsEachLineAsItIsMade) {
    // The handler is held up before its wait, where it would write its lines.
    Program server(in_shell(server_command(), with_faults(kServerSlowAfterEcho)), {Kind::Terminal});
    ASSERT_EQ(server.lines(4), kServerStart);
    Udp a;
    ASSERT_NO_FATAL_FAILURE(expect_registration(nullptr, a, kGreeting, 1));
    ASSERT_EQ(server.lines(6), registered(1, 8));
    ASSERT_TRUE(sleeping(only_child(server.pid())));
    ASSERT_NO_FATAL_FAILURE(expect_echo(nullptr, a, 10001, "at once"));
    EXPECT_EQ(server.lines(2, Ms{1000}), echoed(10001, 7));
}

TEST(ServerStress, RestartsAndKeepsItsNameWhereverItLies) {
    // Folders whose names the kernel prints otherwise, or that make a long
    // path; the program started through a link or under another argv[0];
    // its file renamed, replaced and removed, or no longer executable, as
    // the run goes on.
    const std::string folders[] = {"a\nb", " (deleted)", std::string(250, 'l') + "/" + std::string(250, 'm'),
                                   "back\\slash ąę", "plain"};
    int run = 0;
    for (const std::string start : {"file", "link", "argv0"})
        for (const std::string change : {"none", "upgrade", "noexec"}) {
            const std::string& folder = folders[static_cast<std::size_t>(run++) % std::size(folders)];
            SCOPED_TRACE(start + ", " + change + ", in " + folder);
            const ProgramCopy copy(server_command().back(), folder);
            ASSERT_NE(copy.path(), "");
            const std::string link = copy.path().substr(0, copy.path().rfind('/')) + "/srv";
            ASSERT_EQ(symlink(copy.path().c_str(), link.c_str()), 0);
            Program server(in_shell({start == "link" ? link : copy.path()},
                                    start == "argv0" ? "exec bash -c 'exec -a other \"$0\"' \"$@\"" : "exec \"$@\""));
            auto change_file = [&](int n) {
                const std::string old = copy.path() + ".old";
                if (change == "upgrade" && n == 10) {
                    ASSERT_EQ(std::rename(copy.path().c_str(), old.c_str()), 0);
                    std::ofstream(copy.path()) << "#!/bin/sh\nexit 3\n";
                    ASSERT_EQ(chmod(copy.path().c_str(), 0755), 0);
                }
                if (change == "upgrade" && n == 30) {
                    ASSERT_EQ(std::remove(old.c_str()), 0);
                }
                if (change == "noexec" && n == 10) {
                    ASSERT_EQ(chmod(copy.path().c_str(), 0644), 0);
                }
            };
            expect_many(server, {.restarts = change != "noexec",
                                 .name = start == "link" ? "srv" : "tolpan-server",
                                 .after = change_file});
        }
}

TEST(ServerStress, RunsInEveryHostSetting) {
    const ProgramCopy copy(server_command().back());
    ASSERT_NE(copy.path(), "");
    const std::string dir = copy.path().substr(0, copy.path().rfind('/'));
    struct Setting {
        std::string why = {};  // a row is skipped for this, if not ""
        std::vector<std::string> command = {};
        Many many = {};
        std::vector<int> blocked = {SIGPIPE};
    };
    const std::string lower = dir + "/lower";
    const Setting settings[] = {
        {.command = server_command()},
        // The registration socket lands on descriptor 0, which no /dev/null takes.
        {.why = private_network() ? "" : "no namespace in which to hide /dev",
         .command = hidden(copy, "mount -t tmpfs none /dev && exec <&-")},
        {.why = real_root() ? "" : "only root on the host may unmount /proc",
         .command = hidden(copy, "umount -l /proc"),
         .many = {.restarts = false}},
        // The lower layer on a tmpfs: the program's mapping names that
        // device, and its file the overlay's.
        {.why = private_network() ? "" : "no namespace in which to mount",
         .command = {"unshare", "--mount", "/bin/sh", "-c",
                     "cd \"$0\" && mkdir l u w m && mount -t tmpfs none l && cp tolpan-server l && "
                     "mount -t overlay none -o \"lowerdir=$0/l,upperdir=$0/u,workdir=$0/w\" m && exec m/tolpan-server",
                     dir}},
        // Named after valgrind's tool, which holds descriptors of its own.
        {.why = TOLPAN_SANITIZED || std::string(TOLPAN_VALGRIND).empty() ? "valgrind cannot run here" : "",
         .command = {TOLPAN_VALGRIND, "-q", "--vgdb=no", "--tool=none", server_command().back()},
         .many = {.clients = 20, .name = "", .descriptors = 64}},
        // /proc/self/exe then names the interpreter, not the program.
        {.command = in_shell({TOLPAN_DYNAMIC_SERVER}, "exec \"$(readelf -l /bin/sh | sed -n "
                                                      "'s/.*interpreter: \\(.*\\)]$/\\1/p')\" \"$@\""),
         .many = {.restarts = false, .name = ""}},
        // Every socket on a descriptor past 1024, the environment as another
        // program left it.
        {.command = {"bash", "-c", "ulimit -n 2048 && for fd in {3..1100}; do eval \"exec $fd</dev/null\"; done && "
                                   "TOLPAN=1 exec \"$0\"",
                     server_command().back()},
         .many = {.descriptors = 1102}},
        // Other signals ignored or blocked as it starts: they stay so.
        {.command = in_shell(server_command(), "trap '' INT HUP && exec \"$@\""),
         .many = {.ignored = {SIGINT, SIGHUP, SIGUSR1}, .end = SIGTERM},
         .blocked = {SIGPIPE, SIGUSR1}},
        // A burst larger than a default queue holds.
        {.why = real_root() ? "" : "only root on the host may give the queue room for a burst",
         .command = server_command(),
         .many = {.clients = 2040, .burst = 2000}},
    };
    for (const auto& setting : settings) {
        SCOPED_TRACE(setting.command.back());
        if (!setting.why.empty()) {
            std::printf("skipped a setting: %s\n", setting.why.c_str());
            continue;
        }
        Program server(setting.command, {}, {}, setting.blocked);
        // The queue that the registration socket got: forced as root on the
        // host, else as much as net.core.rmem_max allows.
        long most = 8 << 20;
        if (!real_root())
            std::ifstream("/proc/sys/net/core/rmem_max") >> most;
        EXPECT_TRUE(eventually([&] { return receive_buffer(server.pid()) == 2 * std::min(most, 8L << 20); }))
            << receive_buffer(server.pid());
        expect_many(server, setting.many);
    }
}

TEST(ServerStress, RandomDatagramsAndGreetingsUnderSigpipes) {
    // On a terminal, started the ordinary way, with SIGPIPE let through:
    // the notice must still never land inside a line, nor end a receive.
    Program server(server_command(), {Kind::Terminal}, {}, {});
    ASSERT_EQ(server.lines(4), kServerStart);
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
            expected[0] = expected[0] + registered(clients, std::min<std::size_t>(greeting.size(), 99));
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
            expected[port] = expected[port] + echoed(port, std::min<std::size_t>(b.size(), 99));
        }
        out = out + server.lines(SIZE_MAX, Ms{0});
    }
    out = out + server.lines(SIZE_MAX, Ms{200});

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
            got[l.rfind(handler, 0) == 0 ? static_cast<int>(std::strtol(l.c_str() + handler.size(), nullptr, 10))
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
