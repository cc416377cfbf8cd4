// The short subcommands: single conversions, digital I/O, calibrations,
// standby, sleep, reset, the setup report and the configuration file.
#include <cstdio>
#include <filesystem>
#include <memory>

#include "commands.h"
#include "common.h"
#include "q583_sp.h"
#include "session.h"

namespace q583cli {

namespace fs = std::filesystem;

namespace {

struct DeviceOptions {
  ConnectionOptions connection;
  Settings settings;
  uint32_t count = 1;
  std::string value;     // digout VALUE
  std::string which;     // calibrate system|offset|fullscale, standby on|off
  std::string codes = "0x00";
  std::string type = "multi";
  std::string dir;       // config --dir
  bool system = false;   // config save --system
};

void SelectPolledChannel(const Session& session, const Settings& s) {
  if (!EX_SetPolledModeChan(static_cast<uint8_t>(s.channel), static_cast<uint8_t>(s.subChannel)))
    throw Failure("channel " + std::to_string(s.channel) + "-" + std::to_string(s.subChannel) +
                  " could not be selected: the instrument on " + session.PortName() + " is not answering");
}

void Convert(DeviceOptions& o) {
  Session session(o.connection);
  session.Configure(o.settings);
  session.SignOn();
  SelectPolledChannel(session, o.settings);
  for (uint32_t i = 0; i < o.count; ++i) {
    double millivolts = 0;
    if (!EX_GetOneConversion(&millivolts))
      throw Failure("conversion " + std::to_string(i + 1) + " failed: the instrument on " + session.PortName() +
                    " is not answering");
    std::printf("%.7f\n", millivolts * 0.001);
    std::fflush(stdout);
  }
}

void Digin(DeviceOptions& o) {
  Session session(o.connection);
  session.SignOn();
  uint8_t value = 0;
  if (!EX_GetDigin(&value))
    throw Failure("the digital inputs could not be read: the instrument on " + session.PortName() + " is not answering");
  char bits[9] = {};
  for (int i = 0; i < 8; ++i) bits[i] = (value & (0x80 >> i)) ? '1' : '0';
  std::printf("%u 0x%02X %s\n", value, value, bits);
}

void Digout(DeviceOptions& o) {
  const auto value = static_cast<uint8_t>(ParseUnsigned(o.value, 255, "digout VALUE"));
  Session session(o.connection);
  session.SignOn();
  if (!EX_SendDigout(value))
    throw Failure("the digital outputs could not be written: the instrument on " + session.PortName() +
                  " is not answering");
  std::printf("digital outputs set to %u (0x%02X)\n", value, value);
}

void Calibrate(DeviceOptions& o) {
  Session session(o.connection);
  session.Configure(o.settings);
  session.SignOn();
  bool ok = false;
  if (o.which == "system") {
    ok = EX_SystemCalibration() != 0;
  } else {
    SelectPolledChannel(session, o.settings);
    ok = (o.which == "offset" ? EX_OffsetCalibration() : EX_FullScaleCalibration()) != 0;
  }
  if (!ok)
    throw Failure(o.which + " calibration failed: the instrument on " + session.PortName() + " is not answering");
  std::printf("%s calibration done\n", o.which.c_str());
}

void Standby(DeviceOptions& o) {
  Session session(o.connection);
  session.SignOn();
  EX_Standby(o.which == "on" ? 1 : 0);
  std::printf("standby %s\n", o.which.c_str());
}

void Sleep(DeviceOptions& o) {
  Session session(o.connection);
  session.SignOn();
  EX_Sleep(1);
  std::printf("the instrument sleeps; the next command wakes it with a new sign-on\n");
}

void Reset(DeviceOptions& o) {
  Session session(o.connection);
  // The reset signs on by itself but does not report a failure: sign on
  // first so that an absent instrument is named.
  session.SignOn();
  EX_Reset();
  std::printf("reset to the defaults and signed on\n");
}

void Info(DeviceOptions& o) {
  Session session(o.connection);
  session.SignOn();
  int16_t version = 0;
  if (!EX_SetModel(&version))
    throw Failure("the firmware version could not be read: the instrument on " + session.PortName() +
                  " is not answering");
  std::printf("port: %s\nfirmware version: %d\nmodel code: %d\n\n%s", session.PortName().c_str(), version, ModelCode(version),
              SetupReport().c_str());
}

bool HasConnection(const ConnectionOptions& c) { return c.sim || !c.port.empty(); }

std::string IniPath(const std::string& dir) {
  return (dir.empty() ? std::string("/etc") : dir) + "/Q583_SP.ini";
}

void ConfigLoad(DeviceOptions& o) {
  const std::string dir = o.dir.empty() ? "" : fs::absolute(o.dir).string();
  std::unique_ptr<Session> session;
  if (HasConnection(o.connection)) session = std::make_unique<Session>(o.connection);
  InstallMessageBoxHandler();
  const std::string path = IniPath(dir);
  EX_SetIniDirectory(dir.empty() ? nullptr : dir.c_str());
  const bool loaded = EX_SetDevToIniSetup() != 0;
  EX_SetIniDirectory(nullptr);
  if (!loaded) {
    std::error_code ec;
    if (!fs::exists(path, ec)) throw Failure(path + " not found");
    throw Failure(path + ": a key has an empty value; the settings stay at the defaults");
  }
  if (session) {
    uint8_t port = 0;
    EX_GetCOMport(&port);
    session->MapPort(port);
    session->SignOn();
    std::printf("loaded %s and signed on to %s\n\n", path.c_str(), session->PortName().c_str());
  } else {
    std::printf("loaded %s\n\n", path.c_str());
  }
  std::fputs(SetupReport().c_str(), stdout);
}

void ConfigSave(DeviceOptions& o) {
  // The library's own file is the system's: written only when asked for.
  if (o.dir.empty() && !o.system)
    throw Failure("config save: give --dir DIR (writes DIR/Q583_SP.ini), or --system to write " + IniPath(""), 2);
  const std::string dir = o.dir.empty() ? "" : fs::absolute(o.dir).string();
  Settings& s = o.settings;
  s.scanType = o.type == "single" ? 0 : o.type == "multi-cal" ? 2 : 1;
  s.codes = ParseCodes(o.codes);
  std::unique_ptr<Session> session;
  if (HasConnection(o.connection)) session = std::make_unique<Session>(o.connection);
  InstallMessageBoxHandler();
  ConfigureLibrary(s);
  if (!dir.empty()) {
    std::error_code ec;
    fs::create_directories(dir, ec);
    if (ec) throw Failure("cannot create the directory " + dir + ": " + ec.message());
  }
  EX_SetIniDirectory(dir.empty() ? nullptr : dir.c_str());
  EX_SetIniWriteEnabled(1);
  const bool written = EX_WriteCurrentConfigToIniFile() != 0;
  EX_SetIniWriteEnabled(0);
  EX_SetIniDirectory(nullptr);
  if (!written) throw Failure("cannot write " + IniPath(dir));
  std::printf("wrote %s\n", IniPath(dir).c_str());
}

CLI::App* Command(CLI::App& parent, const std::string& name, const std::string& description,
                  const std::shared_ptr<DeviceOptions>& o) {
  auto* cmd = parent.add_subcommand(name, description);
  AddConnectionOptions(*cmd, o->connection);
  return cmd;
}

}  // namespace

void AddDeviceCommands(CLI::App& app) {
  {
    auto o = std::make_shared<DeviceOptions>();
    auto* cmd = Command(app, "convert", "Single conversions of one channel, one value in volts a line", o);
    AddConverterOptions(*cmd, o->settings);
    AddPolledChannelOptions(*cmd, o->settings);
    cmd->add_option("-n,--count", o->count, "Number of conversions")->check(AboveZero())->capture_default_str();
    cmd->callback([o] { Convert(*o); });
  }
  {
    auto o = std::make_shared<DeviceOptions>();
    auto* cmd = Command(app, "digin", "Read the digital input byte (decimal, hex, bits)", o);
    cmd->callback([o] { Digin(*o); });
  }
  {
    auto o = std::make_shared<DeviceOptions>();
    auto* cmd = Command(app, "digout", "Write the digital output byte", o);
    cmd->add_option("VALUE", o->value, "0-255, decimal or 0x hex")->required();
    cmd->callback([o] { Digout(*o); });
  }
  {
    auto o = std::make_shared<DeviceOptions>();
    auto* cmd = Command(app, "calibrate",
                        "Internal calibration: system (gain 1), or offset / fullscale of the --channel/--sub channel", o);
    cmd->add_option("KIND", o->which, "system, offset or fullscale")
        ->required()
        ->check(CLI::IsMember({"system", "offset", "fullscale"}));
    AddConverterOptions(*cmd, o->settings);
    AddPolledChannelOptions(*cmd, o->settings);
    cmd->callback([o] { Calibrate(*o); });
  }
  {
    auto o = std::make_shared<DeviceOptions>();
    auto* cmd = Command(app, "standby", "Put the instrument into standby or take it out", o);
    cmd->add_option("STATE", o->which, "on or off")->required()->check(CLI::IsMember({"on", "off"}));
    cmd->callback([o] { Standby(*o); });
  }
  {
    auto o = std::make_shared<DeviceOptions>();
    auto* cmd = Command(app, "sleep", "Send the instrument to sleep (the next command signs it on again)", o);
    cmd->callback([o] { Sleep(*o); });
  }
  {
    auto o = std::make_shared<DeviceOptions>();
    auto* cmd = Command(app, "reset", "Restore the default settings and sign on", o);
    cmd->callback([o] { Reset(*o); });
  }
  {
    auto o = std::make_shared<DeviceOptions>();
    auto* cmd = Command(app, "info", "Sign on; print the firmware version, the model code and the setup report", o);
    cmd->callback([o] { Info(*o); });
  }
  {
    auto* config = app.add_subcommand("config", "The configuration file Q583_SP.ini");
    config->require_subcommand(1);
    auto load = std::make_shared<DeviceOptions>();
    auto* loadCmd = Command(*config, "load",
                            "Load DIR/Q583_SP.ini and print the settings it gives; with --port or --sim also sign on "
                            "with them",
                            load);
    loadCmd->add_option("--dir", load->dir, "Directory of the file (default: the library's, /etc)");
    loadCmd->callback([load] { ConfigLoad(*load); });

    auto save = std::make_shared<DeviceOptions>();
    auto* saveCmd = Command(*config, "save",
                            "Write the settings given (others at their defaults) to DIR/Q583_SP.ini (--dir DIR) or "
                            "/etc/Q583_SP.ini (--system)",
                            save);
    auto* saveDir = saveCmd->add_option("--dir", save->dir, "Directory of the file (created)");
    saveCmd->add_flag("--system", save->system, "Write the library's own file, /etc/Q583_SP.ini, read by every "
                      "program that loads the configuration without a directory")
        ->excludes(saveDir);
    AddConverterOptions(*saveCmd, save->settings);
    AddPolledChannelOptions(*saveCmd, save->settings);
    saveCmd->add_option("--type", save->type, "Scan type")
        ->check(CLI::IsMember({"single", "multi", "multi-cal"}))
        ->capture_default_str();
    saveCmd->add_option("--codes", save->codes, "Channel codes of main channels 0-5 (see scan --help)")
        ->capture_default_str();
    saveCmd->callback([save] { ConfigSave(*save); });
  }
}

}  // namespace q583cli
