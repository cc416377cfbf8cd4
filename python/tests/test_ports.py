"""q583.list_ports, probe_port and find_instrument against a fake sysfs
tree: a USB adapter and a port that is no USB device lead to two
simulators, a built-in port to a pseudo-terminal that stays silent."""

import os
import termios

import pytest

import q583

BY_ID = "usb-FTDI_FT232R_USB_UART_A1B2C3D4-if00-port0"


def _write(root, path, text):
    os.makedirs(os.path.dirname(os.path.join(root, path)), exist_ok=True)
    with open(os.path.join(root, path), "w", encoding="ascii") as f:
        f.write(text + "\n")


def _link(root, path, target):
    os.makedirs(os.path.dirname(os.path.join(root, path)), exist_ok=True)
    os.symlink(target, os.path.join(root, path))


@pytest.fixture
def machine(tmp_path):
    """The fake tree, its two simulators and the silent port's master."""
    root = str(tmp_path)
    usb = "sys/devices/pci0000:00/0000:00:14.0/usb1/1-2"
    for name, value in (("idVendor", "0403"), ("idProduct", "6001"), ("manufacturer", "FTDI"),
                        ("product", "FT232R USB UART"), ("serial", "A1B2C3D4")):
        _write(root, f"{usb}/{name}", value)
    _link(root, f"{usb}/1-2:1.0/ttyUSB0/driver", "../../../../../../../bus/usb-serial/drivers/ftdi_sio")
    _link(root, f"{usb}/1-2:1.0/ttyUSB0/tty/ttyUSB0/device", "../../../ttyUSB0")
    _link(root, "sys/class/tty/ttyUSB0", f"../../{usb[4:]}/1-2:1.0/ttyUSB0/tty/ttyUSB0")
    pnp = "sys/devices/pnp0/00:05"
    _link(root, f"{pnp}/driver", "../../../bus/pnp/drivers/serial")
    _link(root, f"{pnp}/00:05:0/subsystem", "../../../../bus/serial-base")
    _link(root, f"{pnp}/00:05:0/00:05:0.0/subsystem", "../../../../../bus/serial-base")
    _link(root, f"{pnp}/00:05:0/00:05:0.0/driver", "../../../../../bus/serial-base/drivers/port")
    _write(root, f"{pnp}/00:05:0/00:05:0.0/tty/ttyS0/type", "4")
    _link(root, f"{pnp}/00:05:0/00:05:0.0/tty/ttyS0/device", "../../../00:05:0.0")
    _link(root, "sys/class/tty/ttyS0", "../../devices/pnp0/00:05/00:05:0/00:05:0.0/tty/ttyS0")
    _write(root, "sys/devices/platform/serial8250/tty/ttyS1/type", "0")
    _link(root, "sys/devices/platform/serial8250/tty/ttyS1/device", "../../../serial8250")
    _link(root, "sys/class/tty/ttyS1", "../../devices/platform/serial8250/tty/ttyS1")
    _link(root, "sys/devices/platform/fe201000.serial/driver", "../../../bus/amba/drivers/uart-pl011")
    _link(root, "sys/devices/platform/fe201000.serial/tty/ttyAMA0/device", "../../../fe201000.serial")
    _link(root, "sys/class/tty/ttyAMA0", "../../devices/platform/fe201000.serial/tty/ttyAMA0")
    _write(root, "sys/devices/virtual/tty/tty0/dev", "4:0")
    _link(root, "sys/class/tty/tty0", "../../devices/virtual/tty/tty0")
    _link(root, f"dev/serial/by-id/{BY_ID}", "../../ttyUSB0")

    master, slave = os.openpty()
    with q583.Simulator() as usb_sim, q583.Simulator() as ama_sim:
        _link(root, "dev/ttyUSB0", usb_sim.port)
        _link(root, "dev/ttyAMA0", ama_sim.port)
        _link(root, "dev/ttyS0", os.ttyname(slave))
        os.close(slave)
        os.set_blocking(master, False)
        yield root, master
    os.close(master)


def _received(master):
    """What arrived at the silent port (EIO: its other side is not open, so nothing)."""
    try:
        return os.read(master, 64)
    except OSError:
        return b""


def test_list_ports_reads_the_tree_and_opens_nothing(machine):
    root, master = machine
    ports = q583.list_ports(root)
    assert [p.device for p in ports] == ["/dev/ttyAMA0", "/dev/ttyS0", "/dev/ttyUSB0"]
    ama, builtin, usb = ports
    assert (ama.driver, ama.usb_id, ama.by_id) == ("uart-pl011", "", "")
    assert (builtin.driver, builtin.usb_id) == ("serial", "")
    assert usb == q583.PortInfo(device="/dev/ttyUSB0", path=os.path.join(root, "dev", "ttyUSB0"),
                                by_id="/dev/serial/by-id/" + BY_ID, vendor_id="0403", product_id="6001",
                                manufacturer="FTDI", product="FT232R USB UART", serial="A1B2C3D4",
                                driver="ftdi_sio")
    assert _received(master) == b""


def test_probe_and_find_instrument(machine):
    root, master = machine
    before = termios.tcgetattr(master)
    paths = {p.device: p.path for p in q583.list_ports(root)}
    assert q583.probe_port(paths["/dev/ttyUSB0"]) == "instrument"
    assert q583.probe_port(paths["/dev/ttyS0"]) == "no answer"
    assert _received(master) == b"\x00\x00"  # the wake-up, sent again unanswered
    assert termios.tcgetattr(master) == before  # line settings restored

    with pytest.raises(q583.PortSearchError, match="more than one port") as error:
        q583.find_instrument([paths["/dev/ttyAMA0"], paths["/dev/ttyS0"], paths["/dev/ttyUSB0"]])
    assert error.value.tried == {paths["/dev/ttyAMA0"]: "instrument", paths["/dev/ttyS0"]: "no answer",
                                 paths["/dev/ttyUSB0"]: "instrument"}
    with pytest.raises(q583.PortSearchError, match="answered on no port"):
        q583.find_instrument([paths["/dev/ttyS0"]])
    assert q583.find_instrument([paths["/dev/ttyS0"], paths["/dev/ttyAMA0"]]) == paths["/dev/ttyAMA0"]
    # The port found signs on, and is found again after the session.
    with q583.Q583(q583.find_instrument([paths["/dev/ttyUSB0"]])) as dev:
        assert dev.version > 0
    assert q583.probe_port(paths["/dev/ttyUSB0"]) == "instrument"


def test_the_port_search_is_public():
    assert {"list_ports", "probe_port", "find_instrument", "PortInfo", "PortSearchError"} <= set(q583.__all__)
