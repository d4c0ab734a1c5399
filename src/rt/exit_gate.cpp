#include "rt/exit_gate.hpp"


namespace halvo::rt {

ExitGate::Pass::~Pass() {
    if (gate_) gate_->leave(id_);
}

std::optional<ExitGate::Pass> ExitGate::enter(std::function<void()> stop) {
    std::lock_guard lk(mu_);
    if (closed_) return std::nullopt;
    const std::uint64_t id = next_++;
    members_.emplace(id, std::move(stop));
    return Pass(this, id);
}

void ExitGate::leave(std::uint64_t id) {
    std::lock_guard lk(mu_);
    members_.erase(id);
    if (members_.empty()) empty_.notify_all();
}

void ExitGate::close(std::chrono::milliseconds wait) {
    std::unique_lock lk(mu_);
    closed_ = true;
    for (auto& [id, stop] : members_) stop();
    empty_.wait_for(lk, wait, [&] { return members_.empty(); });
}

}  // namespace halvo::rt
