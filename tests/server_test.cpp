// SPDX-License-Identifier: ISC
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <csignal>
#include <filesystem>
#include <fstream>
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

}  // namespace

TEST(Server, RegistersAndEchoesWithExactLines) {
    Program server(server_command());
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

    // Every line came exactly once: nothing is left, even once all have ended.
    EXPECT_EQ(server.stop(), "");
}

TEST(Server, TakenPortsAreReportedAsTheyShould) {
    // Port 10000 taken, then no descriptor at all: no socket, and no wait
    // that can watch one.
    for (const bool taken : {true, false}) {
        if (!taken && !TOLPAN_STATIC_SERVER)
            continue;  // a dynamically linked one cannot load its libraries then
        Udp squatter(taken ? 10000 : 0);
        ASSERT_TRUE(squatter.ok());
        Program server(in_shell(server_command(), taken ? "exec \"$@\"" : "ulimit -n 0 && exec \"$@\""));
        EXPECT_EQ(server.lines(4), (Lines{kStart[0], "serwer: bind()=-1", kStart[2], kStart[3]}));
        if (!taken) {
            EXPECT_EQ(server.line(), "Błąd recfrom serwer");
        }
        // It waits on, not spins: it takes a signal and keeps waiting, once
        // the receive is tried again.
        ASSERT_TRUE(sleeping(server.pid()));
        ASSERT_EQ(kill(server.pid(), SIGPIPE), 0);
        EXPECT_EQ(server.line(), notice(server.pid()));
        if (!taken) {
            EXPECT_EQ(server.line(), "Błąd recfrom serwer");
        }
        EXPECT_FALSE(server.wait_exit(Ms{100}));
        EXPECT_FALSE(server.line(Ms{0}));
    }

    // Calls that fail, injected: in each process, the first two sends (the
    // reply, then the first echo) and the third and fourth receives (the
    // handler's first two, as nothing is queued before each receive here).
    // A failed receive waits for a datagram before it tries again. The
    // fourth wait says a datagram has come when none has: the receive that
    // follows fails. Then port 10002 is taken when client 2 comes.
    Udp squatter(10002);
    ASSERT_TRUE(squatter.ok());
    Program server(in_shell(server_command(), with_faults("-e inject=sendto:error=EIO:when=1..2 "
                                                          "-e inject=recvfrom:error=EIO:when=3..4 "
                                                          "-e inject=ppoll:retval=1:when=4")));
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

TEST(Server, StartsAfreshUnlessItRestartedItself) {
    // The words that a restarting image hands itself, then its pid ($$: the
    // shell's, which exec keeps) and name; descriptor 3 as redirected. The
    // copy may be run by the user nobody.
    const ProgramCopy copy(server_command()[0]);
    ASSERT_NE(copy.path(), "");
    const std::vector<std::string> server{copy.path()};
    const std::string words = "exec \"$@\" --resume-registration 55535 3 ";
    std::optional<Udp> reg(10000);  // a real registration socket, but not the server's own
    Udp other;
    ASSERT_TRUE(reg->ok());
    ASSERT_NE(fcntl(reg->fd(), F_SETFD, 0), -1);  // inherited
    ASSERT_NE(fcntl(other.fd(), F_SETFD, 0), -1);
    const std::string fd = std::to_string(reg->fd());
    auto refused = [](const std::string& program, const std::string& word) {
        return Lines{program + ": nieprawidłowy argument „" + word + "”; zobacz: " + program + " --help"};
    };
    const Lines forged = refused("tolpan-server", "--resume-registration");
    struct Start {
        std::vector<std::string> command;
        std::string script;
        Lines out;  // a usage by its first and last lines
        int status;
    };
    const Start starts[] = {
        // Answered or refused before anything is bound or sent.
        {server,
         "exec \"$@\" --help",
         {"Użycie: tolpan-server [--help | --version]", "Więcej: man tolpan-server"},
         0},
        {client_command(),
         "exec \"$@\" -h",
         {"Użycie: tolpan-client [--help | --version]", "Więcej: man tolpan-client"},
         0},
        {server, "exec \"$@\" -V", {"tolpan-server, wersja " TOLPAN_VERSION}, 0},
        {client_command(), "exec \"$@\" --version", {"tolpan-client, wersja " TOLPAN_VERSION}, 0},
        {server, "exec \"$@\" --help me 2>&1", refused("tolpan-server", "me"), 2},
        {client_command(), "exec \"$@\" - 2>&1", refused("tolpan-client", "-"), 2},
        // Resumes that fail a check: word count, process id, descriptor, socket.
        {server, words + "$$ tolpan-server extra 3<&" + fd + " 2>&1", forged, 2},
        {server, words + "1 tolpan-server 3<&" + fd + " 2>&1", forged, 2},
        {server, words + "$$ tolpan-server 3</dev/null 2>&1", forged, 2},
        {server, words + "$$ tolpan-server 3<&" + std::to_string(other.fd()) + " 2>&1", forged, 2},
    };
    for (const auto& start : starts) {
        SCOPED_TRACE(start.script);
        Program program(in_shell(start.command, start.script), "/dev/null");
        Lines out = program.lines(20);
        if (out.size() > 2 && start.out.size() == 2)
            out.erase(out.begin() + 1, out.end() - 1);
        EXPECT_EQ(out, start.out);
        EXPECT_EQ(program.wait_exit(), start.status);
        EXPECT_FALSE(reg->receive(Ms{0})) << "a greeting was sent";
    }

    // Resumed at the last client: the next one has no port to be given. The
    // ports below lie free here, which they cannot while their handlers live,
    // and the server sends nothing to them: a client port below 10000.
    Program resumed(in_shell(server, words + "$$ tolpan-server 3<&" + fd));
    Udp a(9000);
    ASSERT_TRUE(a.ok());
    ASSERT_NO_FATAL_FAILURE(expect_registration(&resumed, a, kGreeting, 55535));
    ASSERT_TRUE(a.send(10000, kGreeting));
    EXPECT_EQ(resumed.lines(3), (Lines{"serwer: recvfrom(...)=8", "Bufor z nr klienta: 55536", "Błąd bind"}));
    EXPECT_EQ(zombie_status(only_child(resumed.pid())), 255);
    ASSERT_NO_FATAL_FAILURE(expect_echo(&resumed, a, 65535, "the last port"));
    resumed.stop();
    reg.reset();

    // Stray environment and descriptors, then no process to spare for the
    // user nobody but this one: a fresh start.
    const std::string no_fork =
        "exec setpriv --reuid=65534 --regid=65534 --clear-groups prlimit --nproc=1 \"$@\"";
    for (const auto& script : {std::string("TOLPAN=1 exec \"$@\" 3</dev/null"), no_fork}) {
        SCOPED_TRACE(script);
        if (script == no_fork && !real_root())
            GTEST_SKIP() << "only root on the host may start it as another user";
        Program fresh(in_shell(server, script));
        ASSERT_EQ(fresh.lines(4), kStart);
        ASSERT_NO_FATAL_FAILURE(expect_registration(&fresh, a, kGreeting, 1));
        if (script == no_fork) {
            // It serves its client, and no registration service remains.
            EXPECT_EQ(fresh.line(), "Błąd fork");
            ASSERT_NO_FATAL_FAILURE(expect_echo(&fresh, a, 10001, "served all the same"));
            EXPECT_TRUE(children(fresh.pid()).empty());
            ASSERT_TRUE(a.send(10000, kGreeting));
            EXPECT_FALSE(a.receive(Ms{200}));
        }
    }
}

TEST(Server, OutputClosedGoneUnreadOrATerminalCostsNoSpin) {
    Udp a;
    for (const std::string output : {"closed", "gone", "unread", "terminal"}) {
        SCOPED_TRACE(output);
        if (output == "closed" && !private_network())
            continue;  // no line would show whose server holds the port
        // Unread, the pipe is left full; started the ordinary way, with
        // SIGPIPE let through, the process must hold it while it writes.
        // On a terminal, the receive after the first echo is held up for 2 s.
        const std::string script = output == "closed" ? "exec \"$@\" <&- >&- 2>&-"
                                   : output == "terminal"
                                       ? with_faults("-e inject=recvfrom:delay_enter=2000000:when=5")
                                       : "exec \"$@\"";
        Program server(in_shell(server_command(), script), "", output == "terminal" ? kTerminal : "",
                       output == "unread" ? kOrdinary : 0);
        if (output == "closed") {
            ASSERT_TRUE(sleeping(server.pid()));  // bound, and waiting for greetings
            for (int fd = 0; fd <= 2; ++fd)
                EXPECT_EQ(std::filesystem::read_symlink("/proc/" + std::to_string(server.pid()) + "/fd/" +
                                                        std::to_string(fd)),
                          "/dev/null");
        } else {
            ASSERT_EQ(server.lines(4), kStart);
        }
        if (output == "gone")
            server.close_output();
        ASSERT_NO_FATAL_FAILURE(expect_registration(nullptr, a, kGreeting, 1));
        if (output == "unread") {
            // Echoes until the pipe is full and the handler blocks in its write.
            for (int i = 0; i < 5000 && a.send(10001, "fill") && a.receive(Ms{100}); ++i) {
            }
            ASSERT_TRUE(sleeping(server.pid()));
            EXPECT_TRUE(sigpipe_held(server.pid()));
        } else if (output == "terminal") {
            // Each line goes out as it is made, not when the handler next waits.
            ASSERT_EQ(server.lines(6), registered(1, 8));
            ASSERT_TRUE(sleeping(only_child(server.pid())));
            ASSERT_NO_FATAL_FAILURE(expect_echo(nullptr, a, 10001, "at once"));
            EXPECT_EQ(server.lines(2, Ms{1000}), echoed(10001, 7));
        } else {
            // Every line fails, with SIGPIPE on the pipe, the notice's too.
            for (int i = 0; i < 20; ++i)
                ASSERT_NO_FATAL_FAILURE(expect_echo(nullptr, a, 10001, random_bytes(50)));
            ASSERT_EQ(kill(server.pid(), SIGPIPE), 0);
            ASSERT_NO_FATAL_FAILURE(expect_echo(nullptr, a, 10001, "after the signal"));
        }
        // A process stuck in a signal loop would burn a tick every 10 ms.
        const long before = cpu_ticks(server.pid());
        std::this_thread::sleep_for(Ms{300});
        EXPECT_LE(cpu_ticks(server.pid()) - before, 3);
        // Read at last, the pipe lets the handler go on: the held echo comes.
        if (output == "unread") {
            while (server.line(Ms{100})) {
            }
            EXPECT_TRUE(a.receive());
        }
    }
}

TEST(ServerStress, ThreeHundredClientsCostWhatTheFirstDid) {
    // With 64 descriptors, a server whose processes kept every handler socket
    // stopped at client 61. The image restarts every so many clients; it runs
    // on once its file is replaced and removed, with its registration socket
    // on descriptor 0 where no /dev/null can take that, or where it cannot
    // restart: without /proc, or through the ELF interpreter, which
    // /proc/self/exe then names. Under valgrind it restarts, outside it.
    for (const std::string run : {"file replaced, then removed", "no /dev, input closed", "under valgrind",
                                  "through the ELF interpreter", "no /proc"}) {
        SCOPED_TRACE(run);
        const bool replace = run == "file replaced, then removed";
        const bool valgrind = run == "under valgrind";
        const bool interpreted = run == "through the ELF interpreter";
        const bool foreign = valgrind || interpreted;  // named after another program
        if (valgrind && (TOLPAN_SANITIZED || std::string(TOLPAN_VALGRIND).empty()))
            continue;  // valgrind cannot run a sanitized program
        if (run == "no /dev, input closed" && !private_network())
            continue;  // no namespace in which to hide /dev
        if (run == "no /proc" && !real_root())
            GTEST_SKIP() << "only root on the host may unmount /proc";
        const ProgramCopy copy(interpreted ? TOLPAN_DYNAMIC_SERVER : server_command()[0]);
        ASSERT_NE(copy.path(), "");
        std::vector<std::string> command{copy.path()};
        if (valgrind)
            command.insert(command.begin(), {TOLPAN_VALGRIND, "-q", "--tool=none"});
        const std::string hide =
            run == "no /proc" ? "umount -l /proc" : "mount -t tmpfs none /dev && exec <&-";
        const bool hidden = !foreign && !replace;  // in a mount namespace of its own
        const std::string launch = interpreted ? "ulimit -n 64 && exec \"$(readelf -l /bin/sh | sed -n "
                                                 "'s/.*interpreter: \\(.*\\)]$/\\1/p')\" \"$@\""
                                   : valgrind  ? "exec \"$@\""
                                               : "ulimit -n 64 && exec \"$@\"";
        Program server(hidden
                           ? std::vector<std::string>{"unshare", "--mount", "/bin/sh", "-c",
                                                      hide + " && ulimit -n 64 && exec \"$0\"", copy.path()}
                           : in_shell(command, launch));
        ASSERT_EQ(server.lines(4), kStart);
        const int clients = valgrind ? 20 : 300;
        Udp a;
        for (int n = 1; n <= clients; ++n) {
            // The image starts afresh after this client: a registration
            // service that keeps its name all the while.
            const bool restart = n % 16 == 0 && !foreign;
            const pid_t registrar = restart || n == 30 ? family(server.pid()).back() : 0;
            // Greetings queued across a restart are all answered, in order.
            if (n == 30) {
                ASSERT_EQ(kill(registrar, SIGSTOP), 0);
                for (int k = 30; k <= 34; ++k)
                    ASSERT_TRUE(a.send(10000, kGreeting));
                ASSERT_EQ(kill(registrar, SIGCONT), 0);
                for (; n <= 34; ++n) {
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
                ASSERT_TRUE(name.empty() || name == "tolpan-server\n") << "named " << name;
            }
            // As a package upgrade does: a new file under the name, then none.
            if (replace && n == 100) {
                const std::string next = copy.path() + ".new";
                std::ofstream(next) << "#!/bin/sh\nexit 3\n";
                ASSERT_EQ(chmod(next.c_str(), 0755), 0);
                ASSERT_EQ(std::rename(next.c_str(), copy.path().c_str()), 0);
            }
            if (replace && n == 200) {
                ASSERT_EQ(std::remove(copy.path().c_str()), 0);
            }
        }
        for (int n = 1; n <= clients; ++n)
            ASSERT_NO_FATAL_FAILURE(
                expect_echo(&server, a, static_cast<std::uint16_t>(10000 + n), "to " + std::to_string(n)));
        // Each keeps its name, and holds its standard streams, the
        // registration socket and its own socket alone.
        const std::vector<pid_t> all = family(server.pid());
        for (pid_t pid : all) {
            EXPECT_TRUE(foreign || name_of(pid) == "tolpan-server\n") << name_of(pid);
            EXPECT_TRUE(valgrind || open_descriptors(pid) <= 5U) << open_descriptors(pid);
        }
        // An interrupt to the group ends every process of it.
        ASSERT_EQ(killpg(server.pid(), SIGINT), 0);
        for (pid_t pid : all)
            EXPECT_EQ(zombie_status(pid), 128 + SIGINT) << "pid " << pid;
        EXPECT_EQ(server.stop(), "");
    }
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
