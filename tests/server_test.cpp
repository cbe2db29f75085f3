// SPDX-License-Identifier: ISC
#include <fcntl.h>
#include <gtest/gtest.h>
#include <rapidcheck.h>
#include <sys/mount.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <csignal>
#include <filesystem>
#include <fstream>
#include <functional>
#include <memory>
#include <tuple>

#include "support.h"

using namespace ts;

namespace {

// Faults in the server's first process: recvfrom 1 finds nothing, 2 takes
// the greeting, sendto 1 replies; then recvfrom 3 and 4, and sendto 2 for
// the first echo, fail, and the fourth wait wakes with nothing to take.
const std::string kServerCallsFail =
    "-e inject=sendto:error=EIO:when=1..2 -e inject=recvfrom:error=EIO:when=3..4 -e "
    "inject=ppoll:retval=1:when=4";

// Sends bytes from `from` to `to` unless they are queued already; checks what
// comes back from `port`, and the server's lines unless server is null.
void expect_back(Program* server, const Udp& from, std::uint16_t to, const std::string& bytes, bool send,
                 const std::string& back, std::uint16_t port, const Lines& lines) {
    ASSERT_TRUE(!send || from.send(to, bytes));
    const auto got = from.receive();
    ASSERT_TRUE(got) << "nothing from " << port;
    EXPECT_EQ(got->bytes, back);
    EXPECT_EQ(got->port, port);
    if (server) {
        ASSERT_EQ(server->lines(lines.size()), lines);
    }
}
void expect_registration(Program* server, const Udp& from, int n, bool greet = true) {
    const auto port = static_cast<std::uint16_t>(10000 + n);
    expect_back(server, from, 10000, kGreeting, greet, std::to_string(n) + '\0', port, registered(n, 8));
}
void expect_echo(Program* server, const Udp& from, std::uint16_t port, const std::string& bytes) {
    expect_back(server, from, port, bytes, true, bytes.substr(0, 99), port,
                echoed(port, std::min<std::size_t>(bytes.size(), 99)));
}

// A registration service resumed on the socket reg, handed over on fd as a
// fresh start hands it, beside others; $$ is the shell's pid, which exec keeps.
std::vector<std::string> resumed_at(const std::string& words, int reg, int fd = 3) {
    (void)fcntl(reg, F_SETFD, 0);
    return in_shell(server_command(), "exec \"$@\" --resume-registration " + words + " " +
                                          std::to_string(fd) + "<&" + std::to_string(reg) + " 4<&0 8</");
}

// A TCP socket listening on port of 127.0.0.1; -1 while the port is taken.
int listening(std::uint16_t port) {
    const int fd = socket(AF_INET, SOCK_STREAM, 0);
    const sockaddr_in at{AF_INET, htons(port), {htonl(INADDR_LOOPBACK)}, {}};
    if (bind(fd, reinterpret_cast<const sockaddr*>(&at), sizeof at) == 0 && listen(fd, 1) == 0)
        return fd;
    close(fd);
    return -1;
}

struct Many {  // how a stress run registers its clients
    int clients = 40;
    int burst = 5;                                // greetings queued at once at client 30
    std::string refusal{};                        // why no fresh start, said at 16; "": every 16
    std::string name = "tolpan-server";           // that every process bears; "": another's
    std::size_t descriptors = 4;                  // that a process holds at most
    std::vector<int> ignored = {};                // by every process, as they were at start
    int end = SIGINT;                             // that ends every process
    std::function<void(int)> after = [](int) {};  // after each client
};

// Registers the clients one after another, then echoes from each; checks
// that the image started afresh, that every process bears its name and
// holds its standard streams and one socket, and not port 8080, which its
// starter left to it; that port 10000 goes with the registration service,
// and that a signal to the group ends every one.
void expect_many(Program& server, const Many& many) {
    ASSERT_EQ(server.lines(4), kServerStart);
    Udp a;
    // Room for the replies to a burst, which only root on the host may force.
    const int room = 1 << 22;
    ASSERT_TRUE(!real_root() || setsockopt(a.fd(), SOL_SOCKET, SO_RCVBUFFORCE, &room, sizeof room) == 0);
    pid_t registrar = server.pid();
    for (int n = 1, queued = 0; n <= many.clients; ++n, --queued) {
        // Greetings queued across a restart are all answered, in order.
        for (; queued < (n == 30 ? many.burst : 1); ++queued)
            ASSERT_TRUE(a.send(10000, kGreeting));
        ASSERT_NO_FATAL_FAILURE(expect_registration(&server, a, n, false));
        if (n == 16 && !many.refusal.empty()) {
            ASSERT_EQ(server.line(),
                      "tolpan-server: nie można uruchomić programu od nowa (" + many.refusal +
                          "); każdy kolejny klient kosztuje więcej, zobacz: man tolpan-server");
        }
        // The next registration service, caught as it is forked: a fresh
        // image bears its name, or its file's, from its first instruction.
        std::vector<pid_t> next;
        for (const auto end = std::chrono::steady_clock::now() + kWait;
             (next = children(registrar)).empty() && std::chrono::steady_clock::now() < end;) {
        }
        ASSERT_EQ(next.size(), 1U);
        for (int i = 0; n % 16 == 0 && many.refusal.empty() && !many.name.empty() && i < 2000; ++i) {
            const std::string name = proc(next[0], "comm");
            ASSERT_TRUE(name.empty() || name == many.name + "\n" || name == "tolpan-server\n" ||
                        name == "tolpan-server.o\n")
                << name;
        }
        registrar = next[0];
        ASSERT_NO_FATAL_FAILURE(many.after(n));
    }
    EXPECT_EQ(close(listening(8080)), 0) << "port 8080 still held";
    for (int k = 1; k <= many.clients; ++k)
        ASSERT_NO_FATAL_FAILURE(
            expect_echo(&server, a, static_cast<std::uint16_t>(10000 + k), "to " + std::to_string(k)));
    const std::vector<pid_t> all = family(server.pid());
    for (pid_t pid : all) {
        EXPECT_TRUE(many.name.empty() || proc(pid, "comm") == many.name + "\n") << proc(pid, "comm");
        EXPECT_TRUE(sleeping(pid));  // at rest, not amid a fresh start
        EXPECT_LE(open_descriptors(pid), many.descriptors);
    }
    // The registration service bears the words of its last fresh start,
    // made by the process that went on to serve that next client, after the
    // name that the server was started under.
    const Lines words = split(proc(all.back(), "cmdline"), '\0');
    const std::size_t next = static_cast<std::size_t>(many.clients / 16) * 16 + 1;
    ASSERT_EQ(words.size() == 6 && words[1] == "--resume-registration", many.refusal.empty()) << words.size();
    EXPECT_TRUE(many.name.empty() || words.at(0) == split(proc(server.pid(), "cmdline"), '\0').at(0));
    EXPECT_TRUE(!many.refusal.empty() ||
                (words[2] == std::to_string(next) && words[4] == std::to_string(all.at(next - 1)) &&
                 (many.name.empty() || words[5] == many.name)))
        << words[2] << " " << words[4] << " " << words[5];
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
std::vector<std::string> hidden(const std::string& copy, const std::string& hide) {
    return {"unshare", "--mount", "/bin/sh", "-c", hide + " && ulimit -n 64 && exec \"$0\"", copy};
}

}  // namespace

TEST(Server, RegistersAndEchoesWithExactLines) {
    Program server(server_command(), {Kind::Packets});
    ASSERT_EQ(server.lines(4), kServerStart);
    // Two clients from one source, then the real client; first a greeting to
    // another loopback address, which no socket bound to 127.0.0.1 takes.
    Udp a;
    ASSERT_TRUE(a.send(10000, kGreeting, INADDR_LOOPBACK + 1));
    for (int n = 1; n <= 2; ++n)
        ASSERT_NO_FATAL_FAILURE(expect_registration(&server, a, n));
    Program client(client_command());
    EXPECT_EQ(client.lines(8), client_started("3", 3, 10003));
    ASSERT_EQ(server.lines(6), registered(3, 8));
    ASSERT_TRUE(client.write("real line\n"));
    EXPECT_EQ(client.lines(4),
              (Lines{"Wysłano z sukcesem", "Udany odbiór wiadomości: real line", "", "Wpisz coś"}));
    ASSERT_EQ(server.lines(2), echoed(10003, 99));
    // Each write held whole lines; nothing is left, even once all have ended.
    EXPECT_TRUE(server.wrote_whole_lines());
    EXPECT_EQ(server.stop(), "");
}

TEST(Server, WaitsOnWhenItCannotReceiveOrAReceiveOrForkFails) {
    {
        // Port 10000 taken: bound to nothing, it waits all the same. No
        // descriptor left: every receive fails, and it waits for a signal.
        Udp squatter(10000);
        ASSERT_TRUE(squatter.ok());
        for (const bool descriptors : {true, false}) {
            if (!descriptors && !TOLPAN_STATIC_SERVER)
                continue;  // a dynamically linked server cannot load its libraries then
            const Lines tried = descriptors ? Lines{} : Lines{"Błąd recfrom serwer"};
            Program server(
                in_shell(server_command(), descriptors ? "exec \"$@\"" : "ulimit -n 0 && exec \"$@\""));
            EXPECT_EQ(
                server.lines(4 + tried.size()),
                (Lines{kServerStart[0], "serwer: bind()=-1", kServerStart[2], kServerStart[3]} + tried));
            ASSERT_TRUE(sleeping(server.pid()));
            ASSERT_EQ(kill(server.pid(), SIGPIPE), 0);
            EXPECT_EQ(server.lines(1 + tried.size()), Lines{notice(server.pid())} + tried);
            ASSERT_TRUE(sleeping(server.pid()));
            EXPECT_FALSE(server.wait_exit(Ms{0}) || server.line(Ms{0}));
        }
    }
    // A failed receive waits for a datagram before it tries again; a wait
    // that wakes with nothing to take waits again, idle and with no line.
    // Port 10002 is taken when client 2 comes.
    Udp squatter(10002);
    Program server(in_shell(server_command(), with_faults(kServerCallsFail)));
    ASSERT_EQ(server.lines(4), kServerStart);
    const pid_t first = only_child(server.pid());  // strace's
    ASSERT_TRUE(squatter.ok() && sleeping(first));
    Udp a;
    ASSERT_TRUE(a.send(10000, kGreeting));
    Lines lines = registered(1, 8);
    lines[3] = "Błąd sendto obsluga klienta";
    EXPECT_EQ(server.lines(7), lines + Lines{"Błąd recfrom"});
    ASSERT_TRUE(sleeping(first) && !server.line(Ms{0}));  // until a datagram comes
    ASSERT_TRUE(a.send(10001, "lost"));
    EXPECT_EQ(server.lines(3), (Lines{"Błąd recfrom", echoed(10001, 4)[0], "Błąd sendto"}));
    ASSERT_TRUE(sleeping(first) && idle(first));
    EXPECT_FALSE(a.receive(Ms{0}) || server.line(Ms{0}));
    ASSERT_TRUE(a.send(10000, kGreeting));
    EXPECT_EQ(server.lines(3), (Lines{"serwer: recvfrom(...)=8", "Bufor z nr klienta: 2", "Błąd bind"}));
    // The registration service ends with 255; nobody waits for it, so it
    // stays a zombie whose status /proc shows. Handler 1 goes on, and port
    // 10000 is free for another server.
    EXPECT_EQ(zombie_status(only_child(first)), 255);
    ASSERT_NO_FATAL_FAILURE(expect_echo(&server, a, 10001, "handler 1 goes on"));
    EXPECT_TRUE(Udp(10000).ok());
    if (!real_root())
        return (void)std::printf("skipped a setting: only root on the host may deny a server a fork\n");
    // No process to spare for the user nobody but this one, which then serves
    // the client and registers no more; the copy is one that nobody may run.
    const std::string copy = copy_of(server_command().back());
    server.stop();
    Program alone(
        in_shell({copy}, "exec setpriv --reuid=65534 --regid=65534 --clear-groups prlimit --nproc=1 \"$@\""));
    ASSERT_EQ(alone.lines(4), kServerStart);
    ASSERT_NO_FATAL_FAILURE(expect_registration(&alone, a, 1));
    EXPECT_EQ(alone.line(), "Błąd fork");
    ASSERT_NO_FATAL_FAILURE(expect_echo(&alone, a, 10001, "served all the same"));
    EXPECT_TRUE(children(alone.pid()).empty() && Udp(10000).ok());
}

TEST(Server, TerminalShowsEachLineAsItIsMade) {
    // The first echo is held up for 5 s: its receive's line comes before it.
    Program server(in_shell(server_command(), with_faults("-e inject=sendto:delay_enter=5000000:when=2")),
                   {Kind::Terminal});
    ASSERT_EQ(server.lines(4), kServerStart);
    Udp a;
    ASSERT_NO_FATAL_FAILURE(expect_registration(&server, a, 1));
    ASSERT_TRUE(a.send(10001, "at once"));
    EXPECT_EQ(server.line(), echoed(10001, 7)[0]);
    EXPECT_FALSE(a.receive(Ms{0}));
}

TEST(Server, ResumedAtAnyClientAnswersEverySenderButItsOwnSockets) {
    if (!private_network())
        GTEST_SKIP() << "the host's ports are not the tests' to take";
    // Clients from the first to one past the last; greetings and datagrams
    // of every size, from any port of any loopback address. The ports
    // between 10000 and the handler's lie free here, as those of handlers
    // that have gone; the greeting may come from the registration socket
    // itself, or from the handler's port just before the service takes it.
    // The socket comes on any descriptor, beside others, which it closes.
    sweep("resumed registrations", 30, [] {
        const int n = *rc::gen::oneOf(rc::gen::element(1, 55535, 55536), rc::gen::inRange(1, 55537));
        const auto handler = static_cast<std::uint16_t>(10000 + n);
        const bool home = *rc::gen::arbitrary<bool>();
        const in_addr_t address = home ? INADDR_LOOPBACK : INADDR_LOOPBACK + *rc::gen::inRange(1U, 1U << 24);
        const auto port = static_cast<std::uint16_t>(
            *rc::gen::oneOf(rc::gen::element<int>(10000, handler), rc::gen::inRange(1, 65536)));
        const std::string greeting = random_bytes(*rc::gen::inRange<std::size_t>(0, kMaxDatagram + 1));
        const std::string datagram = random_bytes(*rc::gen::inRange<std::size_t>(0, kMaxDatagram + 1));
        const bool own = home && port >= 10000 && port <= handler;
        const int fd = *rc::gen::element(3, 6);
        Udp reg(10000);
        auto from = std::make_unique<Udp>(port, address);
        const Udp& sender = home && port == 10000 ? reg : *from;
        RC_ASSERT((reg.ok() && sender.ok()));
        // Its lines to a file, which never holds it up.
        Program server(
            resumed_at(std::to_string(n) + " " + std::to_string(fd) + " $$ tolpan-server", reg.fd(), fd),
            {Kind::File});
        RC_ASSERT((sleeping(server.pid()) && open_descriptors(server.pid()) == 4));
        RC_ASSERT(kill(server.pid(), SIGSTOP) == 0);
        RC_ASSERT(sender.send(10000, greeting));
        if (home && port == handler)
            from.reset();
        RC_ASSERT(kill(server.pid(), SIGCONT) == 0);
        Lines lines = registered(n, std::min<std::size_t>(greeting.size(), 99));
        if (n == 55536) {
            RC_ASSERT(server.lines(3) == (Lines{lines[0], lines[1], "Błąd bind"}));
            RC_ASSERT(server.wait_exit() == 255);
            return;
        }
        if (own)
            lines[3] = "Błąd sendto obsluga klienta";
        RC_ASSERT(server.lines(6) == lines);
        const auto reply = from ? from->receive(own ? Ms{0} : kWait) : std::nullopt;
        RC_ASSERT(reply.has_value() == (from && !own));
        RC_ASSERT((!reply || (reply->bytes == std::to_string(n) + '\0' && reply->port == handler)));
        if (!from)
            return;
        // After one to another loopback address, which it does not take.
        RC_ASSERT((sender.send(handler, "x", INADDR_LOOPBACK + 2) && sender.send(handler, datagram)));
        lines = echoed(handler, std::min<std::size_t>(datagram.size(), 99));
        if (own)
            lines[1] = "Błąd sendto";
        RC_ASSERT(server.lines(2) == lines);
        const auto echo = from->receive(own ? Ms{0} : kWait);
        RC_ASSERT(echo.has_value() == !own);
        RC_ASSERT((!echo || (echo->bytes == datagram.substr(0, 99) && echo->port == handler)));

        // A burst from two others, queued while the handler is stopped, each
        // datagram echoed to its sender in order; the handler killed amid it
        // once `taken` echoes have come: the lines of each step before the
        // last taken are out, and none is cut; all of them once it waits.
        const auto burst = *rc::gen::inRange<std::size_t>(1, 120);
        const auto taken = *rc::gen::inRange<std::size_t>(0, burst + 1);
        const Udp others[] = {Udp(0, INADDR_LOOPBACK + 3), Udp(0, INADDR_LOOPBACK + 4)};
        RC_ASSERT(kill(server.pid(), SIGSTOP) == 0);
        Lines made;
        for (std::size_t i = 0; i < burst; ++i) {
            RC_ASSERT(others[i % 2].send(handler, datagram.substr(0, i)));
            made = made + echoed(handler, std::min({datagram.size(), i, std::size_t{99}}));
        }
        RC_ASSERT(kill(server.pid(), SIGCONT) == 0);
        for (std::size_t i = 0; i < taken; ++i) {
            const auto back = others[i % 2].receive();
            RC_ASSERT((back && back->bytes == datagram.substr(0, std::min<std::size_t>(i, 99))));
        }
        RC_ASSERT((taken < burst || sleeping(server.pid())));
        RC_ASSERT(kill(server.pid(), SIGKILL) == 0);
        const std::string rest = server.stop();
        const Lines out = split(rest);
        RC_ASSERT((rest.empty() || rest.back() == '\n'));
        RC_ASSERT((out.size() <= made.size() && std::equal(out.begin(), out.end(), made.begin())));
        RC_ASSERT(out.size() >= (taken < burst ? 2 * (std::max<std::size_t>(taken, 1) - 1) : made.size()));
    });
}

TEST(Server, ResumesOnlyTheWordsAndSocketThatItsRestartHandsOver) {
    if (!private_network())
        GTEST_SKIP() << "the host's ports are not the tests' to take";
    // Each number written every way, one word at a time; the next client at
    // and past both ends; another process's id; a word too few or too many;
    // then the right words with a socket of another kind, or bound elsewhere.
    struct Resume {
        std::string words = "42 3 $$ tolpan-server";
        long next = 0;  // 0: refused
        int kind = 0;
    };
    std::vector<Resume> resumes = {{.words = "42 3 $(($$ + 1)) tolpan-server"},
                                   {.words = "42 3 $$"},
                                   {.words = "42 3 $$ tolpan-server more"}};
    for (std::size_t word = 0; word < 3; ++word)
        for (const std::string form : {"%", "0%", "+%", "-%", " %", "% ", "%x", "0x%", ""}) {
            std::string w[] = {"42", "3", "$$"};
            w[word] = form.empty() ? form : std::string(form).replace(form.find('%'), 1, w[word]);
            resumes.push_back({"\"" + w[0] + "\" \"" + w[1] + "\" \"" + w[2] + "\" tolpan-server",
                               form == "%" || form == "0%" ? 42 : 0});
        }
    for (const long next : {0L, 1L, 55535L, 55536L, 55537L, 99999999999999999L})
        resumes.push_back({std::to_string(next) + " 3 $$ tolpan-server", next <= 55536 ? next : 0});
    for (int kind = 1; kind < 6; ++kind)
        resumes.push_back({.kind = kind});
    // UDP on 127.0.0.1, port 10000; then every address, another, another
    // port; TCP; UDP-Lite.
    const std::tuple<int, int, in_addr_t, std::uint16_t> kinds[] = {
        {SOCK_DGRAM, 0, INADDR_LOOPBACK, 10000},     {SOCK_DGRAM, 0, INADDR_ANY, 10000},
        {SOCK_DGRAM, 0, INADDR_LOOPBACK + 1, 10000}, {SOCK_DGRAM, 0, INADDR_LOOPBACK, 10001},
        {SOCK_STREAM, 0, INADDR_LOOPBACK, 10000},    {SOCK_DGRAM, IPPROTO_UDPLITE, INADDR_LOOPBACK, 10000}};
    for (const auto& resume : resumes) {
        SCOPED_TRACE(resume.words + ", socket " + std::to_string(resume.kind));
        const auto [type, protocol, address, port] = kinds[resume.kind];
        const int sock = socket(AF_INET, type, protocol);
        const sockaddr_in at{AF_INET, htons(port), {htonl(address)}, {}};
        ASSERT_EQ(bind(sock, reinterpret_cast<const sockaddr*>(&at), sizeof at), 0);
        Program server(resumed_at(resume.words, sock));
        close(sock);
        if (resume.next == 0) {
            EXPECT_EQ(server.lines(2), Lines{refused("tolpan-server", "--resume-registration")});
            EXPECT_EQ(server.wait_exit(), 2);
            continue;
        }
        Udp a(9999);  // below every handler port, which lie free here
        ASSERT_TRUE(a.send(10000, kGreeting));
        const Lines lines = registered(static_cast<int>(resume.next), 8);
        EXPECT_EQ(server.lines(6), (resume.next == 55536 ? Lines{lines[0], lines[1], "Błąd bind"} : lines));
    }
}

TEST(Server, OutputClosedGoneOrFullCostsAFailedWriteAStep) {
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
        // Every line fails, or goes nowhere: with SIGPIPE on the pipe, the
        // notice's own write too. The server serves all the same, and spins no loop.
        Udp a;
        ASSERT_NO_FATAL_FAILURE(expect_registration(nullptr, a, 1));
        for (int i = 0; i < 20; ++i)
            ASSERT_NO_FATAL_FAILURE(expect_echo(nullptr, a, 10001, random_bytes(50)));
        ASSERT_EQ(kill(server.pid(), SIGPIPE), 0);
        ASSERT_NO_FATAL_FAILURE(expect_echo(nullptr, a, 10001, "after the signal"));
        EXPECT_TRUE(idle(server.pid()));
    }
    if (!private_network())
        return (void)std::printf("skipped a setting: no namespace in which to mount a full disk\n");
    // To a disk that is full, then has a page free, then room for all, where
    // handler 1, which made more than a page meanwhile, writes first: every
    // line is whole, each process's in order.
    const std::string copy = copy_of(server_command().back(), "disk");
    const std::string disk = copy.substr(0, copy.rfind('/'));
    ASSERT_EQ(mount("none", disk.c_str(), "tmpfs", 0, "size=16k"), 0);
    std::ofstream(disk + "/fill") << std::string(16384, 'f');
    Program server(in_shell(server_command(), "exec \"$@\" >'" + disk + "/out'"));
    ASSERT_TRUE(sleeping(server.pid()));
    Udp a;
    Lines made = kServerStart;  // by the registration service
    for (int n = 1; n <= 60; ++n) {
        if (n == 20 || n == 45) {
            ASSERT_EQ(truncate((disk + "/fill").c_str(), n == 20 ? 12288 : 0), 0);
        }
        for (int k = 0, echoes = n == 10 ? 60 : n == 45 ? 1 : 0; k < echoes; ++k)
            ASSERT_NO_FATAL_FAILURE(expect_echo(nullptr, a, 10001, "full"));
        ASSERT_TRUE(sleeping(server.pid()));
        ASSERT_NO_FATAL_FAILURE(expect_registration(nullptr, a, n));
        made = made + registered(n, 8);
    }
    ASSERT_TRUE(sleeping(family(server.pid()).back()));
    std::ifstream file(disk + "/out");
    Lines out;
    std::size_t i = 0;  // each line of the service's, found in order in what it made
    for (const auto& line : split({std::istreambuf_iterator<char>(file), {}})) {
        if (line == echoed(10001, 4)[0] || line == echoed(10001, 4)[1])
            continue;
        while (i < made.size() && made[i] != line)
            ++i;
        ASSERT_LT(i++, made.size()) << "cut, or out of order: " << line;
        out.push_back(line);
    }
    // From the first fresh image, at 17, each kept until it could be written.
    EXPECT_TRUE(out.size() >= 264 && std::equal(made.end() - 264, made.end(), out.end() - 264));
    (void)umount2(disk.c_str(), MNT_DETACH);
}

TEST(ServerStress, RunsAndRestartsInEverySetting) {
    struct Setting {
        std::string why = {};  // a row is skipped for this, if not ""
        std::vector<std::string> command = {};
        Many many = {};
        std::vector<int> blocked = {SIGPIPE};
    };
    const std::string copy = copy_of(server_command().back());
    const std::string unreadable = copy_of(server_command().back());
    ASSERT_TRUE(!copy.empty() && !unreadable.empty() && chmod(unreadable.c_str(), 0711) == 0);
    const std::string dir = copy.substr(0, copy.rfind('/'));
    std::vector<Setting> settings = {
        // The registration socket lands on descriptor 0, which no /dev/null takes.
        {.why = private_network() ? "" : "no namespace in which to hide /dev",
         .command = hidden(copy, "mount -t tmpfs none /dev && exec <&-")},
        {.why = real_root() ? "" : "only root on the host may unmount /proc",
         .command = hidden(copy, "umount -l /proc"),
         .many = {.refusal = "/proc/self/exe: ENOENT"}},
        // A program file that its user may run but not read: the kernel keeps
        // it from /proc/self/auxv.
        {.why = real_root() ? "" : "only root on the host may start it as another user",
         .command = in_shell({unreadable}, "exec setpriv --reuid=65534 --regid=65534 --clear-groups \"$@\"")},
        // exec kills the process, as a sandbox may.
        {.command = {std::filesystem::read_symlink("/proc/self/exe"), "--kill-on-execveat",
                     server_command().back()},
         .many = {.refusal = "execveat kończy program"}},
        // The lower layer on a tmpfs, the file on the overlay.
        {.why = private_network() ? "" : "no namespace in which to mount",
         .command =
             hidden(dir + "/m/tolpan-server",
                    "cd \"${0%/m/*}\" && mkdir l u w m && mount -t tmpfs none l && cp tolpan-server l && "
                    "mount -t overlay none -o \"lowerdir=$PWD/l,upperdir=$PWD/u,workdir=$PWD/w\" m")},
        // Named after valgrind's tool, which holds descriptors of its own.
        {.why = TOLPAN_SANITIZED || std::string(TOLPAN_VALGRIND).empty() ? "valgrind cannot run here" : "",
         .command = {TOLPAN_VALGRIND, "-q", "--vgdb=no", "--tool=none", server_command().back()},
         .many = {.clients = 20, .name = "", .descriptors = 64}},
        // /proc/self/exe then names the interpreter, not the program.
        {.command =
             in_shell({TOLPAN_DYNAMIC_SERVER},
                      "exec \"$(readelf -l /bin/sh | sed -n 's/.*interpreter: \\(.*\\)]$/\\1/p')\" \"$@\""),
         .many = {.refusal = "uruchomiony przez interpreter ELF", .name = ""}},
        // A thousand descriptors more, past 1024, and the environment that
        // another program left.
        {.command =
             {"bash", "-c",
              "ulimit -n 2048 && for fd in {3..1100}; do eval \"exec $fd</dev/null\"; done && TOLPAN=1 "
              "exec \"$0\"",
              server_command().back()}},
        // Other signals ignored or blocked as it starts: they stay so.
        {.command = in_shell(server_command(), "trap '' INT HUP && exec \"$@\""),
         .many = {.ignored = {SIGINT, SIGHUP, SIGUSR1}, .end = SIGTERM},
         .blocked = {SIGPIPE, SIGUSR1}},
        // A burst larger than a default queue holds.
        {.why = real_root() ? "" : "only root on the host may give the queue room for a burst",
         .command = server_command(),
         .many = {.clients = 2040, .burst = 2000}},
    };
    // The program started through a link or under another argv[0], from a
    // folder whose name the kernel prints otherwise; its file renamed,
    // replaced and removed, or no longer executable, as the run goes on.
    for (const std::string start : {"file", "link", "argv0"})
        for (const std::string change : {"none", "upgrade", "noexec"}) {
            const std::string path = copy_of(server_command().back(), "a\nb (deleted)");
            const std::string link = path.substr(0, path.rfind('/')) + "/srv";
            ASSERT_EQ(symlink(path.c_str(), link.c_str()), 0);
            auto change_file = [path, change](int n) {
                if (change == "upgrade" && n == 10) {
                    ASSERT_EQ(std::rename(path.c_str(), (path + ".old").c_str()), 0);
                    std::ofstream(path) << "#!/bin/sh\nexit 3\n";
                }
                ASSERT_EQ(chmod(path.c_str(), change == "noexec" && n >= 10 ? 0644 : 0755), 0);
                ASSERT_TRUE(change != "upgrade" || n != 30 || std::remove((path + ".old").c_str()) == 0);
            };
            settings.push_back(
                {.command = in_shell(
                     {start == "link" ? link : path},
                     start == "argv0" ? "exec bash -c 'exec -a other \"$0\"' \"$@\"" : "exec \"$@\""),
                 .many = {.refusal = change == "noexec" ? "execveat: EACCES" : "",
                          .name = start == "link" ? "srv" : "tolpan-server",
                          .after = change_file}});
        }
    for (const auto& setting : settings) {
        SCOPED_TRACE(setting.command.back());
        if (!setting.why.empty()) {
            std::printf("skipped a setting: %s\n", setting.why.c_str());
            continue;
        }
        // Descriptors of every kind that its starter leaves to it, then closes.
        int ends[2] = {-1, -1};
        const int given[] = {listening(8080), socket(AF_INET, SOCK_DGRAM, 0), pipe(ends) ? -1 : ends[0],
                             ends[1]};
        Program server(setting.command, {}, {}, setting.blocked);
        for (const int fd : given)
            close(fd);
        ASSERT_NO_FATAL_FAILURE(expect_many(server, setting.many));
    }
}
