// SPDX-License-Identifier: ISC
#include "protocol.h"

namespace tolpan {

Endpoint make_endpoint(in_addr_t address, std::uint16_t port) {
    Endpoint e{};
    e.addr.sin_family = AF_INET;
    e.addr.sin_addr.s_addr = htonl(address);
    e.addr.sin_port = htons(port);
    e.len = sizeof e.addr;
    return e;
}

std::uint16_t handler_port(std::int32_t client) {
    return static_cast<std::uint16_t>(kRegistrationPort + static_cast<std::uint32_t>(client));
}

}  // namespace tolpan
