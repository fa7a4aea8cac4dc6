// SPDX-License-Identifier: MIT
// This daemon was built where libei does not exist (before Debian 13): the route is left out.
#include "ei_client.h"

namespace pointrelay::input {

std::unique_ptr<EiClient> EiClient::connect(int, std::chrono::milliseconds, std::string& error) {
    error = "this daemon was built without libei";
    return nullptr;
}

bool EiClient::available() {
    return false;
}

EiClient::~EiClient() = default;
int EiClient::fd() const {
    return -1;
}
bool EiClient::dispatch() {
    return false;
}
void EiClient::motion(double, double) {}
void EiClient::button(uint32_t, bool) {}
void EiClient::wheel(int32_t, int32_t) {}
bool EiClient::key(Keysym, bool) {
    return false;
}
void EiClient::flush() {}

} // namespace pointrelay::input
