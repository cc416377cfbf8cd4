// The records of what went over the line (bytes received and
// sent, decoded packets, the instrument's state) and the waits on them.
#include "simulator_impl.h"

namespace q583sim {

using namespace detail;

void Simulator::Impl::LogPacket(const Packet& p) {
  if (!opt.keepLog) return;
  auto& log = p.kind == PacketKind::SignOnData ? signOnPackets : packets;
  if (log.size() < kMaxLogEntries) log.push_back(p);
}

// ---- the public class: records and waits -----------------------------------

std::vector<ReceivedByte> Simulator::Received() const {
  std::lock_guard<std::mutex> lock(impl_->mu);
  impl_->SyncInput();
  return impl_->received;
}

std::vector<uint8_t> Simulator::ReceivedValues() const {
  std::lock_guard<std::mutex> lock(impl_->mu);
  impl_->SyncInput();
  std::vector<uint8_t> v;
  v.reserve(impl_->received.size());
  for (const auto& r : impl_->received) v.push_back(r.value);
  return v;
}

std::vector<Packet> Simulator::Packets() const {
  std::lock_guard<std::mutex> lock(impl_->mu);
  impl_->SyncInput();
  return impl_->packets;
}

std::vector<Packet> Simulator::SignOnPackets() const {
  std::lock_guard<std::mutex> lock(impl_->mu);
  impl_->SyncInput();
  return impl_->signOnPackets;
}

std::vector<SentByte> Simulator::Sent() const {
  std::lock_guard<std::mutex> lock(impl_->mu);
  return impl_->sent;
}

State Simulator::GetState() const {
  std::lock_guard<std::mutex> lock(impl_->mu);
  impl_->SyncInput();
  State s = impl_->st;
  s.ownDescriptors = (impl_->master >= 0) + (impl_->slave >= 0) + (impl_->eventFd >= 0);
  return s;
}

uint32_t Simulator::FramesSent() const {
  std::lock_guard<std::mutex> lock(impl_->mu);
  return impl_->st.framesSent;
}

void Simulator::ClearLog() {
  std::lock_guard<std::mutex> lock(impl_->mu);
  impl_->SyncInput();
  impl_->received.clear();
  impl_->packets.clear();
  impl_->signOnPackets.clear();
  impl_->sent.clear();
  impl_->st.digitalOutputs.clear();
}

bool Simulator::WaitForFrames(uint32_t n, int ms) const {
  std::unique_lock<std::mutex> lock(impl_->mu);
  return impl_->cv.wait_for(lock, std::chrono::milliseconds(ms), [&] { return impl_->st.framesSent >= n; });
}

bool Simulator::WaitForScanning(bool scanning, int ms) const {
  std::unique_lock<std::mutex> lock(impl_->mu);
  impl_->SyncInput();
  return impl_->cv.wait_for(lock, std::chrono::milliseconds(ms), [&] { return impl_->st.scanning == scanning; });
}

bool Simulator::WaitForSignOns(uint32_t n, int ms) const {
  std::unique_lock<std::mutex> lock(impl_->mu);
  impl_->SyncInput();
  return impl_->cv.wait_for(lock, std::chrono::milliseconds(ms), [&] { return impl_->st.signOns >= n; });
}

bool Simulator::WaitForReceived(size_t n, int ms) const {
  std::unique_lock<std::mutex> lock(impl_->mu);
  impl_->SyncInput();
  return impl_->cv.wait_for(lock, std::chrono::milliseconds(ms), [&] { return impl_->received.size() >= n; });
}

}  // namespace q583sim
