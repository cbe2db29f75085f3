#include <gtest/gtest.h>
#include <sys/wait.h>

#include <csignal>
#include <random>
#include <thread>

#include "support.h"

using namespace ts;

namespace {

const Lines kStart = {"Program TOLPAN - SERWER zaczyna działanie", "serwer: bind()=0",
                      "Oczekuję na klientów...", "Port serwera: 10000"};
const std::string kGreeting("Eloo\n\0\0\0", 8);

std::string str(std::size_t n) { return std::to_string(n); }

// The lines that registering client n prints for a greeting of `got` bytes.
Lines registered(int n, std::size_t got) {
    const std::string num = std::to_string(n);
    return {"serwer: recvfrom(...)=" + str(got), "Bufor z nr klienta: " + num,
            "Port obslugi klienta: " + str(10000 + n), "obsluga klienta: sendto(...)=" + str(num.size() + 1),
            "obsluga_klienta " + num + ": bind()=0", "Oczekuję na klienta..."};
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
void expect_registration(Program* server, Udp& from, const std::string& greeting, int n) {
    ASSERT_TRUE(from.send(10000, greeting));
    const auto reply = from.receive();
    ASSERT_TRUE(reply) << "no reply for client " << n;
    EXPECT_EQ(reply->bytes, std::to_string(n) + '\0');
    EXPECT_EQ(reply->port, 10000 + n);
    if (server) {
        ASSERT_EQ(server->lines(6), registered(n, std::min<std::size_t>(greeting.size(), 99)));
    }
}

void expect_echo(Program* server, Udp& from, std::uint16_t port, const std::string& bytes) {
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
    long ticks = std::atol(stat_field(pid, 14).c_str()) + std::atol(stat_field(pid, 15).c_str());
    for (pid_t child : children(pid))
        ticks += cpu_ticks(child);
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
    Udp a, b, c;
    for (int n = 1; n <= 12; ++n) {
        const std::string greeting = n == 3 ? "" : n == 4 ? std::string(150, 'g') : kGreeting;
        ASSERT_NO_FATAL_FAILURE(expect_registration(&server, a, greeting, n));
    }
    for (std::size_t size : {0, 1, 99, 150, 65507})
        ASSERT_NO_FATAL_FAILURE(expect_echo(&server, a, 10001, random_bytes(size)));
    // Whoever sends gets the echo: a third party, then the client again.
    expect_echo(&server, c, 10001, "third party");
    expect_echo(&server, a, 10001, "client again");
    expect_echo(&server, b, 10012, "to twelve");
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
    EXPECT_EQ(WEXITSTATUS(std::atoi(stat_field(registrar, 52).c_str())), 255);

    expect_echo(&server, a, 10001, "handler 1 goes on");
    ASSERT_TRUE(a.send(10000, kGreeting));
    EXPECT_FALSE(a.receive(Ms{200}));
}

TEST(Server, SigpipeNoticeLeavesEveryReceiveRunning) {
    Program server(server_command());
    ASSERT_EQ(server.lines(4), kStart);
    Udp a;
    expect_registration(&server, a, kGreeting, 1);
    const pid_t registrar = only_child(server.pid());
    ASSERT_NE(registrar, -1);
    for (pid_t pid : {server.pid(), registrar}) {
        ASSERT_EQ(kill(pid, SIGPIPE), 0);
        EXPECT_EQ(server.line(), notice(pid));
    }
    expect_echo(&server, a, 10001, "after the signal");
    expect_registration(&server, a, kGreeting, 2);
}

TEST(Server, OutputToAPipeWithoutReaderCostsNoSpin) {
    Program server(server_command());
    ASSERT_EQ(server.lines(4), kStart);
    server.close_output();

    // Every line now fails with SIGPIPE, and so does the notice itself.
    Udp a;
    for (int n = 1; n <= 3; ++n)
        ASSERT_NO_FATAL_FAILURE(expect_registration(nullptr, a, kGreeting, n));
    for (int i = 0; i < 20; ++i)
        ASSERT_NO_FATAL_FAILURE(expect_echo(nullptr, a, 10001, random_bytes(50)));
    ASSERT_EQ(kill(server.pid(), SIGPIPE), 0);
    expect_echo(nullptr, a, 10001, "after the signal");

    // A process stuck in a signal loop would burn a tick every 10 ms.
    const long before = cpu_ticks(server.pid());
    std::this_thread::sleep_for(Ms{300});
    EXPECT_LE(cpu_ticks(server.pid()) - before, 3);
}
