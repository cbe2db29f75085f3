// SPDX-License-Identifier: ISC
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
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

template <typename Number>
std::string str(Number n) {
    return std::to_string(n);
}

// The lines that registering client n prints for a greeting of `got` bytes.
Lines registered(int n, std::size_t got) {
    const std::string num = std::to_string(n);
    return {
        "serwer: recvfrom(...)=" + str(got),       "Bufor z nr klienta: " + num,
        "Port obslugi klienta: " + str(10000 + n), "obsluga klienta: sendto(...)=" + str(num.size() + 1),
        "obsluga_klienta " + num + ": bind()=0",   "Oczekuję na klienta...",
    };
}

Lines echoed(std::uint16_t port, std::size_t n) {
    return {"obsługa klienta " + str(port) + ": recvfrom(...)=" + str(n),
            "obsługa klienta " + str(port) + ": sendto(...)=" + str(n)};
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

}  // namespace

TEST(Server, RegistersAndEchoesWithExactLines) {
    Program server(server_command());
    ASSERT_EQ(server.lines(4), kStart);

    // Twelve clients from one source; an empty and a long datagram count as greetings.
    Udp a;
    Udp b;
    Udp c;
    for (int n = 1; n <= 12; ++n) {
        const std::string greeting = n == 3 ? "" : n == 4 ? std::string(150, 'g') : kGreeting;
        ASSERT_NO_FATAL_FAILURE(expect_registration(&server, a, greeting, n));
    }
    for (std::size_t size : {0U, 1U, 99U, 150U, 65507U})
        ASSERT_NO_FATAL_FAILURE(expect_echo(&server, a, 10001, random_bytes(size)));
    // Whoever sends gets the echo: a third party, then the client again.
    ASSERT_NO_FATAL_FAILURE(expect_echo(&server, c, 10001, "third party"));
    ASSERT_NO_FATAL_FAILURE(expect_echo(&server, a, 10001, "client again"));
    ASSERT_NO_FATAL_FAILURE(expect_echo(&server, b, 10012, "to twelve"));
    EXPECT_FALSE(c.receive(Ms{100}));

    // The process that the user started serves port 10001; a newer one
    // registers. The burst queued meanwhile is echoed in order, each datagram
    // to its sender, and all its lines are out before the handler waits.
    ASSERT_EQ(kill(server.pid(), SIGSTOP), 0);
    Lines burst;
    for (std::size_t i = 0; i < 60; ++i) {
        ASSERT_TRUE((i % 2 ? c : a).send(10001, std::string(i, 'h')));
        burst.insert(burst.end(), {echoed(10001, i)[0], echoed(10001, i)[1]});
    }
    expect_registration(&server, b, kGreeting, 13);
    EXPECT_FALSE(a.receive(Ms{200}));
    ASSERT_EQ(kill(server.pid(), SIGCONT), 0);
    for (std::size_t i = 0; i < 60; ++i) {
        const auto held = (i % 2 ? c : a).receive();
        ASSERT_TRUE(held);
        EXPECT_EQ(held->bytes, std::string(i, 'h'));
    }
    ASSERT_TRUE(sleeping(server.pid()));
    EXPECT_EQ(server.lines(burst.size(), Ms{0}), burst);

    // Every line came exactly once: nothing is left, even once all have ended.
    EXPECT_EQ(server.stop(), "");
}

TEST(Server, TakenPortsAreReportedAsTheyShould) {
    // Port 10000 taken, then no descriptor left for its socket.
    for (const bool taken : {true, false}) {
        if (!taken && !TOLPAN_STATIC_SERVER)
            continue;  // a dynamically linked one cannot start with 3 descriptors
        Udp squatter(taken ? 10000 : 0);
        ASSERT_TRUE(squatter.ok());
        Program server(in_shell(server_command(), taken ? "exec \"$@\"" : "ulimit -n 3 && exec \"$@\""));
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

    Udp squatter(10002);
    ASSERT_TRUE(squatter.ok());
    Program server(server_command());
    ASSERT_EQ(server.lines(4), kStart);
    Udp a;
    expect_registration(&server, a, kGreeting, 1);
    ASSERT_TRUE(a.send(10000, kGreeting));
    EXPECT_EQ(server.lines(3), (Lines{"serwer: recvfrom(...)=8", "Bufor z nr klienta: 2", "Błąd bind"}));

    // The registration service ends with 255; nobody waits for it, so it
    // stays a zombie whose status /proc shows.
    EXPECT_EQ(zombie_status(only_child(server.pid())), 255);

    expect_echo(&server, a, 10001, "handler 1 goes on");
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
    const std::string no_fork =
        "exec setpriv --reuid=65534 --regid=65534 --clear-groups prlimit --nproc=1 \"$@\"";
    std::optional<Udp> reg(10000);  // a real registration socket, but not the server's own
    Udp other;
    ASSERT_TRUE(reg->ok());
    ASSERT_NE(fcntl(reg->fd(), F_SETFD, 0), -1);  // inherited
    ASSERT_NE(fcntl(other.fd(), F_SETFD, 0), -1);
    const std::string fd = std::to_string(reg->fd());
    auto refused = [](const std::string& program, const std::string& word) {
        return Lines{program + ": nieprawidłowy argument „" + word + "”; zobacz: " + program + " --help"};
    };
    constexpr int kRunsOn = -1;
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
        {server, words + "$$ tolpan-server extra 3<&" + fd + " 2>&1",
         refused("tolpan-server", "--resume-registration"), 2},
        {server, words + "1 tolpan-server 3<&" + fd + " 2>&1",
         refused("tolpan-server", "--resume-registration"), 2},
        {server, words + "$$ tolpan-server 3</dev/null 2>&1",
         refused("tolpan-server", "--resume-registration"), 2},
        {server, words + "$$ tolpan-server 3<&" + std::to_string(other.fd()) + " 2>&1",
         refused("tolpan-server", "--resume-registration"), 2},
        // Stray environment and descriptors, and no process to spare: a fresh start.
        {server, "TOLPAN=1 exec \"$@\" 3</dev/null", kStart, kRunsOn},
        {server, no_fork, kStart, kRunsOn},  // one process at most for the user nobody: this one
    };
    for (const auto& start : starts) {
        SCOPED_TRACE(start.script);
        if (start.script == no_fork && geteuid() != 0)
            continue;  // only root may start it as another user
        if (start.status == kRunsOn)
            reg.reset();  // the port is the fresh server's
        Program program(in_shell(start.command, start.script), "/dev/null");
        if (start.status != kRunsOn) {
            Lines out = program.lines(20);
            if (out.size() > 2 && start.out.size() == 2)
                out.erase(out.begin() + 1, out.end() - 1);
            EXPECT_EQ(out, start.out);
            EXPECT_EQ(program.wait_exit(), start.status);
            EXPECT_FALSE(reg->receive(Ms{0})) << "a greeting was sent";
            continue;
        }
        ASSERT_EQ(program.lines(4), kStart);
        Udp a;
        ASSERT_NO_FATAL_FAILURE(expect_registration(&program, a, kGreeting, 1));
        if (start.script == no_fork) {
            // It serves its client, and no registration service remains.
            EXPECT_EQ(program.line(), "Błąd fork");
            ASSERT_NO_FATAL_FAILURE(expect_echo(&program, a, 10001, "served all the same"));
            EXPECT_TRUE(children(program.pid()).empty());
            ASSERT_TRUE(a.send(10000, kGreeting));
            EXPECT_FALSE(a.receive(Ms{200}));
        }
    }

    // Resumed at the last client: the next one has no port to be given. The
    // ports below lie free here, which they cannot while their handlers live,
    // and the server sends nothing to them: a client port below 10000.
    reg.emplace(10000);
    ASSERT_NE(fcntl(reg->fd(), F_SETFD, 0), -1);
    Program resumed(in_shell(server, words + "$$ tolpan-server 3<&" + std::to_string(reg->fd())));
    Udp a(9000);
    ASSERT_TRUE(a.ok());
    ASSERT_NO_FATAL_FAILURE(expect_registration(&resumed, a, kGreeting, 55535));
    ASSERT_TRUE(a.send(10000, kGreeting));
    EXPECT_EQ(resumed.lines(3), (Lines{"serwer: recvfrom(...)=8", "Bufor z nr klienta: 55536", "Błąd bind"}));
    EXPECT_EQ(zombie_status(only_child(resumed.pid())), 255);
    ASSERT_NO_FATAL_FAILURE(expect_echo(&resumed, a, 65535, "the last port"));
}

TEST(Server, ClosedOrUnreadOutputCostsNoSpin) {
    // Output to a pipe whose reader has gone, then no output at all.
    for (bool closed : {false, true}) {
        SCOPED_TRACE(closed ? "standard output closed" : "pipe without reader");
        Program server(in_shell(server_command(), closed ? "exec \"$@\" >&-" : "exec \"$@\""));
        server.close_output();
        ASSERT_TRUE(sleeping(server.pid()));  // bound, and waiting for greetings

        // Every line now fails, with SIGPIPE on the pipe, the notice's too.
        Udp a;
        for (int n = 1; n <= 3; ++n)
            ASSERT_NO_FATAL_FAILURE(expect_registration(nullptr, a, kGreeting, n));
        for (int i = 0; i < 20; ++i)
            ASSERT_NO_FATAL_FAILURE(expect_echo(nullptr, a, 10001, random_bytes(50)));
        ASSERT_EQ(kill(server.pid(), SIGPIPE), 0);
        ASSERT_NO_FATAL_FAILURE(expect_echo(nullptr, a, 10001, "after the signal"));

        // A process stuck in a signal loop would burn a tick every 10 ms.
        const long before = cpu_ticks(server.pid());
        std::this_thread::sleep_for(Ms{300});
        EXPECT_LE(cpu_ticks(server.pid()) - before, 3);
    }
}

TEST(ServerStress, LinesStayWholeOnATerminalUnderSignals) {
    Program server(server_command(), "", kTerminal);
    ASSERT_EQ(server.lines(4), kStart);
    Udp a;
    ASSERT_NO_FATAL_FAILURE(expect_registration(&server, a, kGreeting, 1));
    const Lines valid = {echoed(10001, 99)[0], echoed(10001, 99)[1], notice(server.pid()),
                         notice(only_child(server.pid()))};
    // 5,000 echoes, 16 in flight, and SIGPIPE to every process with each
    // tenth, while the lines are read back as fast as they come.
    std::size_t echo_lines = 0;
    auto drain = [&](Ms wait) {
        for (std::optional<std::string> l; echo_lines < 10000 && (l = server.line(wait));) {
            const auto found = std::find(valid.begin(), valid.end(), *l);
            ASSERT_NE(found, valid.end()) << "a broken line: " << *l;
            echo_lines += found < valid.begin() + 2;
        }
    };
    for (int sent = 0, echoes = 0; echoes < 5000; ++echoes) {
        for (; sent < std::min(echoes + 16, 5000); ++sent)
            ASSERT_TRUE(a.send(10001, std::string(99, 'e')));
        ASSERT_TRUE(a.receive());
        ASSERT_TRUE(echoes % 10 != 0 || killpg(server.pid(), SIGPIPE) == 0);
        ASSERT_NO_FATAL_FAILURE(drain(Ms{0}));
    }
    ASSERT_NO_FATAL_FAILURE(drain(kWait));
    EXPECT_EQ(echo_lines, 10000U);
}

TEST(ServerStress, ThreeHundredClientsCostWhatTheFirstDid) {
    // With 64 descriptors, a server whose processes kept every handler socket
    // stopped at client 61. The image restarts every so many clients; it runs
    // on once its file is replaced and removed, or where it cannot restart.
    for (const bool replace : {true, false}) {
        SCOPED_TRACE(replace ? "file replaced, then removed" : "no /proc");
        if (!replace && !private_network())
            GTEST_SKIP() << "needs namespaces of its own to unmount /proc";
        const ProgramCopy copy(server_command()[0]);
        ASSERT_NE(copy.path(), "");
        Program server(replace ? in_shell({copy.path()}, "ulimit -n 64 && exec \"$@\"")
                               : std::vector<std::string>{"unshare", "--mount", "/bin/sh", "-c",
                                                          "umount -l /proc && ulimit -n 64 && exec \"$0\"",
                                                          copy.path()});
        ASSERT_EQ(server.lines(4), kStart);
        Udp a;
        for (int n = 1; n <= 300; ++n) {
            ASSERT_NO_FATAL_FAILURE(expect_registration(&server, a, kGreeting, n));
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
        for (int n = 1; n <= 300; ++n)
            ASSERT_NO_FATAL_FAILURE(
                expect_echo(&server, a, static_cast<std::uint16_t>(10000 + n), "to " + str(n)));
        // Each keeps its name, and holds its standard streams, the
        // registration socket and its own socket alone.
        for (pid_t pid : family(server.pid())) {
            std::ifstream comm("/proc/" + str(pid) + "/comm");
            EXPECT_EQ(std::string(std::istreambuf_iterator<char>(comm), {}), "tolpan-server\n");
            EXPECT_LE(std::distance(std::filesystem::directory_iterator("/proc/" + str(pid) + "/fd"), {}), 5);
        }
        const pid_t group = server.pid();
        EXPECT_EQ(server.stop(), "");
        EXPECT_EQ(killpg(group, 0), -1) << "a process of the server outlived it";
    }
}

TEST(ServerStress, RandomDatagramsAndGreetings) {
    Program server(server_command());
    ASSERT_EQ(server.lines(4), kStart);
    Udp a;
    ASSERT_NO_FATAL_FAILURE(expect_registration(&server, a, kGreeting, 1));
    std::mt19937 gen(11);
    const std::string noise = random_bytes(kMaxDatagram);
    auto slice = [&] {
        const std::size_t size = gen() % (noise.size() + 1);
        return noise.substr(gen() % (noise.size() - size + 1), size);
    };
    // 10,000 datagrams to handler ports, 200 greetings among them.
    int clients = 1;
    for (int i = 1; i <= 10200; ++i) {
        if (i % 51 == 0)
            ASSERT_NO_FATAL_FAILURE(expect_registration(&server, a, slice(), ++clients));
        else
            ASSERT_NO_FATAL_FAILURE(expect_echo(
                &server, a, static_cast<std::uint16_t>(10001 + gen() % static_cast<unsigned>(clients)),
                slice()));
    }
    // Every handler and the registration service (which may be forking now).
    const auto all = static_cast<std::size_t>(clients) + 1;
    EXPECT_TRUE(eventually([&] { return family(server.pid()).size() == all; })) << "a process died";
}

TEST(ServerStress, AThousandSigpipesLeaveEveryReceiveRunning) {
    Program server(server_command());
    ASSERT_EQ(server.lines(4), kStart);
    Udp a;
    ASSERT_NO_FATAL_FAILURE(expect_registration(nullptr, a, kGreeting, 1));
    pid_t registrar = only_child(server.pid());
    std::map<pid_t, int> sent;
    Lines out;
    for (int i = 1, clients = 1; i <= 1000; ++i) {
        for (pid_t pid : {server.pid(), registrar}) {
            ASSERT_EQ(kill(pid, SIGPIPE), 0);
            ++sent[pid];
        }
        if (i % 100 == 0) {
            ASSERT_NO_FATAL_FAILURE(expect_registration(nullptr, a, kGreeting, ++clients));
            registrar = only_child(registrar);
        } else {
            ASSERT_NO_FATAL_FAILURE(
                expect_echo(nullptr, a, 10001, random_bytes(static_cast<std::size_t>(i % 150))));
        }
        for (std::optional<std::string> l; (l = server.line(Ms{0}));)
            out.push_back(*l);
    }
    for (std::optional<std::string> l; (l = server.line(Ms{200}));)
        out.push_back(*l);

    // Each process signalled printed its own notice, at most one a signal
    // (signals that meet one pending merge); no receive or send failed.
    std::map<pid_t, int> notices;
    for (const auto& l : out) {
        EXPECT_NE(l.rfind("Błąd", 0), 0U) << l;
        if (l.rfind("pojawil", 0) == 0) {
            const pid_t pid = std::stoi(l.substr(l.find("==") + 2));
            EXPECT_EQ(l, notice(pid));
            ++notices[pid];
        }
    }
    for (const auto& [pid, n] : sent)
        EXPECT_GE(notices[pid], 1) << "pid " << pid;
    for (const auto& [pid, n] : notices)
        EXPECT_LE(n, sent[pid]) << "pid " << pid;
}
