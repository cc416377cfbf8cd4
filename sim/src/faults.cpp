// Faults: replies go out through the faults set for their command, and the
// switches that make the instrument misbehave on purpose.
#include <algorithm>

#include "simulator_impl.h"

namespace q583sim {

bool Simulator::Impl::TakeCount(int& count) {
  if (count == 0) return false;
  if (count > 0) --count;
  return true;
}

// ---- replies and faults ----------------------------------------------------

bool Simulator::Impl::TakeCommandFault(uint8_t command, CommandFault& f) {
  for (auto& c : commandFaults) {
    if (c.command != command || c.kind == ReplyFault::None || c.count == 0) continue;
    if (c.count > 0) --c.count;
    f = c;
    return true;
  }
  return false;
}

bool Simulator::Impl::Reply(uint8_t command, std::vector<std::pair<double, std::vector<uint8_t>>> parts,
                            double now) {
  CommandFault f;
  if (TakeCommandFault(command, f)) {
    switch (f.kind) {
      case ReplyFault::None: break;
      case ReplyFault::NoReply: return false;
      case ReplyFault::Late:
        for (auto& p : parts) p.first += f.delayMs / 1000.0;
        break;
      case ReplyFault::WrongEcho:
        for (auto& p : parts)
          if (!p.second.empty()) {
            p.second[0] = f.echo;
            break;
          }
        break;
      case ReplyFault::Cut: {
        int left = std::max(0, f.cutAfter);
        for (auto& p : parts) {
          if (static_cast<int>(p.second.size()) > left) p.second.resize(static_cast<size_t>(left));
          left -= static_cast<int>(p.second.size());
        }
        break;
      }
    }
  }
  for (auto& p : parts) Schedule(std::move(p.second), now + p.first, now);
  return true;
}

// ---- the public class: fault switches --------------------------------------

void Simulator::SetNoWakeReply(bool on) {
  std::lock_guard<std::mutex> lock(impl_->mu);
  impl_->noWakeReply = on;
}

void Simulator::SetReplyToBaudChange(int count) {
  std::lock_guard<std::mutex> lock(impl_->mu);
  impl_->replyToBaudChange = count;
}

void Simulator::SetWrongBaudEcho(int count) {
  std::lock_guard<std::mutex> lock(impl_->mu);
  impl_->wrongBaudEcho = count;
}

void Simulator::SetNoBaudEcho(int count) {
  std::lock_guard<std::mutex> lock(impl_->mu);
  impl_->noBaudEcho = count;
}

void Simulator::SetWrongRegisterEcho(int count) {
  std::lock_guard<std::mutex> lock(impl_->mu);
  impl_->wrongRegisterEcho = count;
}

void Simulator::SetRegisterEchoHighBits(bool on) {
  std::lock_guard<std::mutex> lock(impl_->mu);
  impl_->registerEchoHighBits = on;
}

void Simulator::AddCommandFault(const CommandFault& fault) {
  std::lock_guard<std::mutex> lock(impl_->mu);
  impl_->commandFaults.push_back(fault);
}

void Simulator::AddFrameFault(const FrameFault& fault) {
  std::lock_guard<std::mutex> lock(impl_->mu);
  impl_->frameFaults.push_back(fault);
}

size_t Simulator::PendingFrameFaults() const {
  std::lock_guard<std::mutex> lock(impl_->mu);
  return impl_->frameFaults.size();
}

void Simulator::SetFrameIntervalOverride(double intervalS) {
  std::lock_guard<std::mutex> lock(impl_->mu);
  impl_->frameIntervalOverrideS = intervalS > 0 ? intervalS : 0.0;
}

void Simulator::SetNoStopEcho(bool on) {
  std::lock_guard<std::mutex> lock(impl_->mu);
  impl_->noStopEcho = on;
}

void Simulator::SetLineNoise(double bytesPerSecond) {
  {
    std::lock_guard<std::mutex> lock(impl_->mu);
    impl_->noiseRate = bytesPerSecond > 0 ? bytesPerSecond : 0.0;
    impl_->nextNoiseS = 0.0;
  }
  impl_->Wake();
}

void Simulator::SetLatencyTimer(int ms) {
  {
    std::lock_guard<std::mutex> lock(impl_->mu);
    impl_->latencyMs = std::max(0, ms);
  }
  impl_->Wake();
}

void Simulator::SetFrameBurst(uint32_t frames) {
  {
    std::lock_guard<std::mutex> lock(impl_->mu);
    impl_->burstFrames = frames;
    if (frames < 2) impl_->ReleaseHeld();
  }
  impl_->Wake();
}

void Simulator::SetFrameSplit(uint32_t position, double gapS) {
  std::lock_guard<std::mutex> lock(impl_->mu);
  impl_->splitAt = position;
  impl_->splitGapS = std::max(0.0, gapS);
}

void Simulator::SetClockPpm(double ppm) {
  std::lock_guard<std::mutex> lock(impl_->mu);
  impl_->clockPpm = ppm;
}

void Simulator::HangUp() {
  std::unique_lock<std::mutex> lock(impl_->mu);
  if (impl_->st.hungUp) return;
  impl_->hangUpRequested = true;
  impl_->Wake();
  // The simulator's thread closes the descriptors itself (it may be polling
  // them); wait until it has.
  impl_->cv.wait(lock, [this] { return impl_->st.hungUp || impl_->stopping; });
}

void Simulator::ClearFaults() {
  {
    std::lock_guard<std::mutex> lock(impl_->mu);
    auto& i = *impl_;
    i.noWakeReply = false;
    i.replyToBaudChange = 0;
    i.wrongBaudEcho = 0;
    i.noBaudEcho = 0;
    i.wrongRegisterEcho = 0;
    i.registerEchoHighBits = false;
    i.commandFaults.clear();
    i.frameFaults.clear();
    i.frameIntervalOverrideS = 0.0;
    i.noStopEcho = false;
    i.noiseRate = 0.0;
    i.versionArmed = false;
    i.latencyMs = 0;
    i.burstFrames = 0;
    i.ReleaseHeld();
    i.splitAt = 0;
    i.clockPpm = 0.0;
  }
  impl_->Wake();
}

}  // namespace q583sim
