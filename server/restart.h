// SPDX-License-Identifier: ISC
// The registration service's fresh start of its own image, which takes the
// registration socket and the next client number with it.
#pragma once

#include <cstdint>
#include <optional>

namespace tolpan {

// The image starts afresh after this many registrations (see restart.cpp).
inline constexpr std::int32_t kImageClients = 16;

// A registration service: its socket and the next client number.
struct Registration {
    int sock;
    std::int32_t next;
};

// The registration that restart_image handed to this very process, bound
// to 127.0.0.1 and port; nullopt unless the arguments are its words.
std::optional<Registration> resumed_registration(int argc, char** argv, std::uint16_t port);

// Starts the program's image afresh in this process, to go on with
// registration. Returns only if it cannot, or if the program that runs is
// not the file that the system started: the process then carries on, and
// the first time it says why on standard error. Returns whether a later
// try may succeed.
bool restart_image(const char* argv0, Registration registration);

}  // namespace tolpan
