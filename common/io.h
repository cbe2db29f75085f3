// SPDX-License-Identifier: ISC
// How both programs write, wait and take SIGPIPE. In every process:
// 1. Lines wait in one buffer of a page, and go out in writes of whole
//    lines before each receive, so that a step's lines are out before the
//    next step begins, and before the process waits, forks or ends (at
//    once on a terminal). A write that cannot go yet, on output of any
//    kind that anyone has made non-blocking, waits for it and goes on from
//    where it stopped: no line is lost or written twice, and on a pipe
//    none is mixed with another process's lines. What an output refuses,
//    as a full disk does, is kept and goes first once it takes lines
//    again; lines that find no room behind it are dropped whole.
// 2. SIGPIPE is held while the process works and let through only while it
//    waits for input, whatever mask it was started with: the notice comes
//    at once to a waiting process, and never inside a line.
// 3. Sockets are non-blocking: a call that cannot go yet waits for its
//    descriptor (see when_ready). Standard input, which other processes
//    may share and leave non-blocking, is waited on in the same way.
#pragma once

#include <poll.h>
#include <sys/types.h>

#include <cerrno>
#include <cstddef>

#include "protocol.h"

namespace tolpan {

// The SIGPIPE notice: prints the receiving process's id and returns.
void ObsSygnalu(int signal);

// Puts the rules in force, prints the banner unless it is null, and
// installs ObsSygnalu.
void start_up(const char* banner);

// Print as printf and puts do, to standard output under the rules: print
// what takes less than a page, print_text a format whose one directive is
// "%s", with text of any length, a page at a time and with no memory of
// its own.
void print(const char* format, ...) __attribute__((format(printf, 1, 2)));
void print_text(const char* format, const char* text);
void print_line(const char* line);

// Writes out every line printed so far. Returns whether all of it went;
// if not, what did not is kept, with errno.
bool flush_output();

// Forgets what the output refused: of two processes that a fork leaves
// with it, one writes it.
void forget_output();

// Waits until fd is ready for events or a signal has come, with the notice
// let through; for a send, it writes out the lines first. A receive or a
// read of input has written them before it began, and the notice may come
// at any moment of its wait, so nothing else writes them then. Returns
// whether fd is ready.
bool wait_for(int fd, short events);

// Tries call, a call on fd that fails with EAGAIN while it cannot go,
// waiting for events on fd between tries. Returns what the call returned.
// A wait for input may wake with nothing to take (another reader of a
// shared descriptor took it first, a datagram failed its checksum): it
// waits again, and sleeps until more comes. A wait to send that says a
// socket is ready when it still cannot go means that it never will, as
// with no port to send from: -1 with EAGAIN, so that no loop spins.
template <typename Call>
ssize_t when_ready(int fd, short events, Call call) {
    for (bool ready = false;; ready = wait_for(fd, events)) {
        const ssize_t done = call();
        if (done != -1 || errno != EAGAIN || (ready && events != POLLIN))
            return done;
    }
}

// After a failed receive: writes out the lines, then waits until sock has a
// datagram or a signal comes, so that a failure that lasts costs a line for
// each, not a spinning core.
void pause_after_failure(int sock);

// A blocking call other than those above, such as reading standard input,
// goes between these two, so that the notice comes while it waits.
void begin_wait();
void end_wait();

void set_nonblocking(int sock);

// The name of an errno value, as EACCES, for the programs' lines on
// standard error, which say in Polish what failed.
const char* failure_name(int failure);

// recvfrom and sendto under the rules; the lines made so far go out
// before a receive. Each returns -1 on failure, with errno.
ssize_t receive(int sock, char* buf, std::size_t len, Endpoint& from);
ssize_t send_to(int sock, const char* buf, std::size_t len, const Endpoint& to);

}  // namespace tolpan
