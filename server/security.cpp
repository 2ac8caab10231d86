#include "security.h"

namespace vks {

struct SecurityService::State {};

SecurityService::SecurityService() : state_(new State) {}
SecurityService::~SecurityService() {
    delete state_;
}

bool SecurityService::Load(const std::string&, std::string& error) {
    error = "not built yet";
    return false;
}

std::optional<std::string> SecurityService::Answer(std::string_view, uint32_t,
                                                   std::chrono::steady_clock::time_point) {
    return std::nullopt;
}

} // namespace vks
