#include <gtest/gtest.h>
#include <sys/wait.h>

#include <csignal>
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

    // The process that the user started serves port 10001; a newer one registers.
    ASSERT_EQ(kill(server.pid(), SIGSTOP), 0);
    ASSERT_TRUE(a.send(10001, "held"));
    expect_registration(&server, b, kGreeting, 13);
    EXPECT_FALSE(a.receive(Ms{200}));
    ASSERT_EQ(kill(server.pid(), SIGCONT), 0);
    const auto held = a.receive();
    ASSERT_TRUE(held);
    EXPECT_EQ(held->bytes, "held");
    EXPECT_EQ(server.lines(2), echoed(10001, 4));

    // Every line came exactly once: nothing is left, even once all have ended.
    EXPECT_EQ(server.stop(), "");
}

TEST(Server, TakenPortsAreReportedAsTheyShould) {
    {
        Udp squatter(10000);
        ASSERT_TRUE(squatter.ok());
        Program server(server_command());
        EXPECT_EQ(server.lines(4), (Lines{kStart[0], "serwer: bind()=-1", kStart[2], kStart[3]}));
        // It waits on: alive, it takes a signal and keeps waiting.
        ASSERT_EQ(kill(server.pid(), SIGPIPE), 0);
        EXPECT_EQ(server.line(), notice(server.pid()));
        EXPECT_FALSE(server.wait_exit(Ms{100}));
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
    const pid_t registrar = only_child(server.pid());
    EXPECT_TRUE(eventually([&] { return stat_field(registrar, 3) == "Z"; }));
    EXPECT_EQ(WEXITSTATUS(std::stoi(stat_field(registrar, 52))), 255);

    expect_echo(&server, a, 10001, "handler 1 goes on");
    ASSERT_TRUE(a.send(10000, kGreeting));
    EXPECT_FALSE(a.receive(Ms{200}));
}

TEST(Server, ClosedOrUnreadOutputCostsNoSpin) {
    // Output to a pipe whose reader has gone, then no output at all.
    for (bool closed : {false, true}) {
        SCOPED_TRACE(closed ? "standard output closed" : "pipe without reader");
        Program server(redirected(server_command(), closed ? ">&-" : ""));
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

TEST(ServerStress, ThreeHundredClientsKeepTheirHandlers) {
    Program server(server_command());
    ASSERT_EQ(server.lines(4), kStart);
    Udp a;
    for (int n = 1; n <= 300; ++n)
        ASSERT_NO_FATAL_FAILURE(expect_registration(&server, a, kGreeting, n));
    for (int n = 1; n <= 300; ++n)
        ASSERT_NO_FATAL_FAILURE(
            expect_echo(&server, a, static_cast<std::uint16_t>(10000 + n), "to " + str(n)));
    const pid_t group = server.pid();
    EXPECT_EQ(server.stop(), "");
    EXPECT_EQ(killpg(group, 0), -1) << "a process of the server outlived it";
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
