#include "status.h"

namespace vks {

void StatusBoard::Publish(std::vector<TransferRow> rows, const ServerCounters& counters) {
    std::lock_guard<std::mutex> lock(mutex_);
    rows_ = std::move(rows);
    counters_ = counters;
}

std::string StatusBoard::Json() const {
    return "{}";
}
std::string StatusBoard::Prometheus() const {
    return "";
}
std::string StatusBoard::Table(int) const {
    return "";
}

struct StatusHttp::Impl {};

StatusHttp::StatusHttp(const StatusBoard&) : impl_(std::make_unique<Impl>()) {}
StatusHttp::~StatusHttp() = default;
bool StatusHttp::Start(const std::string&, uint16_t, std::string&) {
    return true;
}
void StatusHttp::Stop() {}

} // namespace vks
