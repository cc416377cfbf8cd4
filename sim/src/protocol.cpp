// The protocol: the wake-up, the baud change, the sign-on's data packets,
// the register download and every command, byte by byte as they arrive.
#include <algorithm>
#include <cstdio>

#include "simulator_impl.h"

namespace q583sim {

using namespace detail;

namespace {

// A partial packet, or a multi-packet data phase, is abandoned when the line
// has been quiet this long: the library writes the bytes of a packet (and the
// packets of a data phase) back to back, while its wake-up tries are about
// half a second apart, so a wake-up after a lost byte still gets through.
constexpr double kGapResetS = 0.45;

// floor(log2(v)), 0 for 0 and 1.
uint8_t Log2Floor(uint32_t v) {
  uint8_t n = 0;
  while (v > 1) {
    v >>= 1;
    ++n;
  }
  return n;
}

}  // namespace

// ---- input -----------------------------------------------------------------

void Simulator::Impl::Break() {
  ++st.breaks;
  StopScan();
  st.baud = kBaudTable[kPowerUpBaudIndex];
  st.baudIndex = kPowerUpBaudIndex;
  st.awake = false;
  st.commandMode = false;
  phase = Phase::WaitWake;
  pktLen = 0;
  extExpect = 0;
}

void Simulator::Impl::StopScan() {
  ReleaseHeld();  // the frames of an unfinished burst go out
  st.scanning = false;
  st.scanCommand = 0;
}

void Simulator::Impl::StartOver(double now) {
  // A new sign-on begins: whatever ran is abandoned.
  StopScan();
  pktLen = 0;
  extExpect = 0;
  st.asleep = false;
  st.commandMode = false;
  if (versionArmed && st.signOns - signOnsAtArm >= armedAfterSignOns) {
    st.version = armedVersion;
    versionArmed = false;
  }
  if (noWakeReply) {
    phase = Phase::WaitWake;
    return;
  }
  st.awake = true;
  ++st.wakeUps;
  phase = Phase::AfterWake;
  Enqueue({0x03}, now);
}

void Simulator::Impl::OnByte(uint8_t b, double now, uint32_t libBaud) {
  ++bytesIn;
  if (opt.keepLog && received.size() < kMaxLogEntries) received.push_back({b, now, libBaud});
  if (opt.trace) {
    char note[48];
    std::snprintf(note, sizeof note, " at %u baud (instrument at %u)", libBaud, st.baud);
    Trace("RX", b, now, note);
  }
  cv.notify_all();
  if (libBaud != st.baud) {
    // Not understood at this rate.  A 0x00 at a lower rate holds the line
    // low for longer than a whole character of the instrument: a break,
    // which puts the instrument back at 300 baud, waiting for a wake-up.
    if (b == 0x00 && libBaud != 0 && libBaud < st.baud)
      Break();
    else
      ++st.notUnderstood;
    return;
  }
  // In the register phase the library only goes on once it has the echo,
  // which a fault may have held back: count the quiet time from then.
  const double quietSince = phase == Phase::RegisterData ? std::max(lastByteS, regEchoDueS) : lastByteS;
  const bool gap = now - quietSince > kGapResetS;
  lastByteS = now;
  if (gap) {
    pktLen = 0;
    if (phase == Phase::SignOnData || phase == Phase::RegisterData) {
      // The data phase was abandoned by the library: back to commands when
      // the registers were loaded before, else to waiting for a wake-up.
      phase = phase == Phase::RegisterData ? Phase::Command : Phase::WaitWake;
      if (phase == Phase::WaitWake) st.commandMode = false;
    }
  }
  switch (phase) {
    case Phase::WaitWake:
      if (b == 0x00) StartOver(now);
      return;
    case Phase::AfterWake:
      if (b == 0x00) {
        StartOver(now);
      } else if (b == 0x88) {
        phase = Phase::ExpectBaud;
        if (TakeCount(replyToBaudChange)) {
          // The line must stay quiet here; this instrument does not, and
          // forgets the exchange.
          Enqueue({0x88}, now);
          phase = Phase::WaitWake;
        }
      }
      return;
    case Phase::ExpectBaud:
      if (TakeCount(noBaudEcho)) {
        phase = Phase::WaitWake;
        return;
      }
      if (TakeCount(wrongBaudEcho)) {
        Enqueue({static_cast<uint8_t>(b ^ 0x01)}, now);
        phase = Phase::WaitWake;
        return;
      }
      // The echo still goes out at the old rate; then the instrument moves.
      Enqueue({b}, now);
      if (b < 6) {
        st.baudIndex = b;
        st.baud = kBaudTable[b];
        phase = Phase::ExpectZero;
      } else {
        phase = Phase::WaitWake;
      }
      return;
    case Phase::ExpectZero:
      if (b == 0x00) {
        phase = Phase::SignOnData;
        dataPackets = 0;
        pktLen = 0;
      }
      return;
    case Phase::SignOnData:
    case Phase::RegisterData:
    case Phase::Command:
      if (phase == Phase::Command && pktLen == 0 && b == 0x00) {
        StartOver(now);
        return;
      }
      pkt[pktLen++] = b;
      if (pktLen == 3) {
        pktLen = 0;
        OnPacket(now);
      }
      return;
  }
}

void Simulator::Impl::OnPacket(double now) {
  Packet p;
  p.first = pkt[0];
  p.data = pkt[1];
  p.sum = pkt[2];
  p.checksumOk = static_cast<uint8_t>(pkt[0] + pkt[1]) == pkt[2];
  p.timeS = now;
  p.kind = phase == Phase::SignOnData     ? PacketKind::SignOnData
           : phase == Phase::RegisterData ? PacketKind::RegisterData
                                          : PacketKind::Command;
  LogPacket(p);
  if (!p.checksumOk) {
    ++st.badChecksums;
    return;
  }
  switch (phase) {
    case Phase::SignOnData: OnSignOnPacket(p, now); break;
    case Phase::RegisterData: OnRegisterPacket(p, now); break;
    default: OnCommand(p, now); break;
  }
}

void Simulator::Impl::OnSignOnPacket(const Packet& p, double now) {
  switch (dataPackets++) {
    case 0:
      ++st.registerWrites;
      st.modeRegHi = p.first;
      st.modeRegMid = p.data;
      st.standby = (p.first & 1) != 0;
      break;
    case 1: st.modeRegLo = p.first; break;
    case 2:
      st.averagingCode = Log2Floor(p.first);
      st.filter = p.data;
      break;
    case 3: {
      std::vector<uint8_t> echo = {st.modeRegHi, st.modeRegMid, st.modeRegLo};
      if (registerEchoHighBits) echo[0] |= 0xE0;
      if (TakeCount(wrongRegisterEcho)) echo[1] ^= 0x08;
      Enqueue(echo, now);
      break;
    }
    case 4:
      timerLow = p.first;
      timerMid = p.data;
      break;
    case 5:
      st.timerCount = (static_cast<uint32_t>(p.first) << 16) | (static_cast<uint32_t>(timerMid) << 8) | timerLow;
      st.channelCodes[0] = p.data;
      break;
    case 6:
      st.channelCodes[1] = p.first;
      st.channelCodes[2] = p.data;
      break;
    case 7:
      st.channelCodes[3] = p.first;
      st.channelCodes[4] = p.data;
      break;
    default:
      st.channelCodes[5] = p.first;
      phase = Phase::Command;
      st.commandMode = true;
      ++st.signOns;
      cv.notify_all();
      break;
  }
}

void Simulator::Impl::OnRegisterPacket(const Packet& p, double now) {
  if (dataPackets++ == 0) {
    ++st.registerWrites;
    st.modeRegHi = p.first;
    st.modeRegMid = p.data;
    st.standby = (p.first & 1) != 0;
    return;
  }
  st.modeRegLo = p.first;
  phase = Phase::Command;
  std::vector<uint8_t> echo = {st.modeRegHi, st.modeRegMid, st.modeRegLo};
  if (registerEchoHighBits) echo[0] |= 0xE0;
  if (haveRegFault) {
    haveRegFault = false;
    if (regFault.kind == ReplyFault::NoReply) return;
    if (regFault.kind == ReplyFault::Cut) echo.resize(static_cast<size_t>(std::clamp(regFaultBytesLeft, 0, 3)));
    if (regFault.kind == ReplyFault::Late) {
      Schedule(echo, now + regFault.delayMs / 1000.0, now);
      return;
    }
  }
  Schedule(echo, now, now);
}

void Simulator::Impl::OnCommand(const Packet& p, double now) {
  const uint8_t c = p.first;
  const uint8_t d = p.data;
  if (c != 0x07) {
    // Any other command ends an extended-register sequence.
    if (!(c == 0x01 && (d & 0x80))) extExpect = 0;
  }
  switch (c) {
    case 0x01:
      if (d & 0x80) {
        if ((d & 7) == 7) {
          extAddress = true;  // the address byte follows
          extExpect = 1;
        } else if (d & 4) {
          extAddress = false;
          extRegister = d & 3;
          extExpect = 2;  // low, then high
        }
      } else {
        st.selectedChannel = d;
      }
      break;
    case 0x07:
      if (extExpect <= 0) break;
      if (extAddress) {
        extRegister = d >> 6;
        extExpect = 0;
      } else if (extExpect == 2) {
        extLow = d;
        extExpect = 1;
      } else {
        if (extRegister >= 0 && extRegister < 3) st.extRegisters[extRegister] = d * 256 + extLow;
        extExpect = 0;
      }
      break;
    case 0x02:
      st.digitalOutput = d;
      if (st.digitalOutputs.size() < kMaxLogEntries) st.digitalOutputs.push_back(d);
      break;
    case 0x04: st.averagingCode = d; break;
    case 0x80: Reply(0x80, {{0.0, {0x80, opt.digitalInput}}}, now); break;
    case 0x81: {
      ++st.conversions;
      NoteConversionMode(c);
      const int mainCh = (st.selectedChannel >> 4) & 7;
      const int subCh = st.selectedChannel & 15;
      const double t = ConversionTimeS();
      std::vector<uint8_t> value;
      AppendValue(value, CountFor(SignalVolts(mainCh, subCh, now + t)));
      Reply(0x81, {{0.0, {0x81}}, {t, value}}, now);
      break;
    }
    case 0x82:
    case 0x83: {
      ++st.calibrations;
      std::vector<uint8_t> bytes = {c};
      AppendValue(bytes, CountFor(c == 0x82 ? calOffsetVolts : calFullScaleVolts));
      Reply(c, {{ConversionTimeS(), bytes}}, now);
      break;
    }
    case 0x84: {
      phase = Phase::RegisterData;
      dataPackets = 0;
      regEchoDueS = now;
      CommandFault f;
      haveRegFault = TakeCommandFault(0x84, f);
      if (!haveRegFault) {
        Enqueue({0x84}, now);
        break;
      }
      regFault = f;
      regFaultBytesLeft = 3;
      switch (f.kind) {
        case ReplyFault::NoReply: break;
        case ReplyFault::Late:
          regEchoDueS = now + f.delayMs / 1000.0;
          Schedule({0x84}, regEchoDueS, now);
          break;
        case ReplyFault::WrongEcho: Enqueue({f.echo}, now); break;
        case ReplyFault::Cut:
          if (f.cutAfter >= 1) Enqueue({0x84}, now);
          regFaultBytesLeft = f.cutAfter - 1;
          break;
        case ReplyFault::None: Enqueue({0x84}, now); break;
      }
      break;
    }
    case 0x86: Reply(0x86, {{0.0, {0x86, st.version}}}, now); break;
    case 0x88:
      StopScan();
      Reply(0x88, {{0.0, {0x80}}}, now);
      st.asleep = true;
      st.awake = false;
      st.commandMode = false;
      phase = Phase::WaitWake;
      break;
    case 0x89:
    case 0x8B:
    case 0x8C: {
      Reply(c, {{0.0, {c}}}, now);
      // An echo lost on the line does not stop the instrument: it scans.
      st.scanning = true;
      st.scanCommand = c;
      ++st.scansStarted;
      NoteConversionMode(c);
      st.framesSent = 0;
      scanSub = d;
      scanStartS = now;
      nextFrame = 0;
      ReleaseHeld();
      frameIntervalS = frameIntervalOverrideS > 0 ? frameIntervalOverrideS : (st.timerCount + 1.0) / TimeBase();
      frameIntervalS /= 1.0 + clockPpm * 1e-6;  // a fast clock paces frames faster
      st.frameIntervalS = frameIntervalS;
      cv.notify_all();
      break;
    }
    case 0x8A:
      StopScan();
      cv.notify_all();
      // The echo goes behind the frame bytes already on the way.
      if (!noStopEcho) Reply(0x8A, {{0.0, {0x8A}}}, now);
      break;
    default: break;  // unknown commands are ignored
  }
}

}  // namespace q583sim
