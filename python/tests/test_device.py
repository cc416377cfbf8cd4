"""Settings, conversions, configuration file and reports of an open Q583."""

import ctypes
import math
import threading

import numpy as np
import pytest

import q583

from conftest import SIGNALS


@pytest.mark.parametrize(
    "name, value, expected",
    [
        ("gain", 128, 128),
        ("gain", 1, 1),
        ("average", 32768, 32768),
        ("average", 1, 1),
        ("polarity", "unipolar", "unipolar"),
        ("polarity", "bipolar", "bipolar"),
        ("filter_hz", 4, 4),
        ("filter_hz", 400, 400),
        ("rate", 60.1, np.float32(60.1)),  # single precision in the record
        ("rate", 60, 60),
        ("scan_type", 2, 2),
        ("scan_type", 1, 1),
    ],
)
def test_setting_round_trip(dev, name, value, expected):
    setattr(dev, name, value)
    assert getattr(dev, name) == expected


@pytest.mark.parametrize(
    "name, value, allowed",
    [
        ("gain", 3, "1, 2, 4, 8, 16, 32, 64, 128"),
        ("gain", 0, "128"),
        ("average", 3, "32768"),
        ("polarity", "both", "bipolar, unipolar"),
        ("filter_hz", 7, "4, 40, 400"),
        ("rate", 0, "above 0"),
        ("rate", math.nan, "above 0"),
        ("scan_type", 9, "0, 1, 2"),
        ("channel_codes", [0x21], "high nibble"),
        ("channel_codes", [16] * 6, "every channel code is 16"),
    ],
)
def test_refused_setting_keeps_value(dev, name, value, allowed):
    before = getattr(dev, name)
    with pytest.raises(ValueError, match=allowed):
        setattr(dev, name, value)
    assert getattr(dev, name) == before


def test_interval_within_limits(dev):
    low, high = dev.interval_limits
    assert 0 < low < high
    dev.interval = 0.5
    assert dev.interval == pytest.approx(0.5, abs=1e-3)
    with pytest.raises(ValueError, match=f"from {low} to {high}"):
        dev.interval = low / 2
    dev.interval = low
    assert dev.interval == pytest.approx(low, abs=1e-3)


def test_conversions_read_the_simulated_volts(dev):
    assert dev.convert(0, 0) == pytest.approx(SIGNALS[0], abs=2e-6)
    volts = dev.convert(1, 3, count=2)
    assert isinstance(volts, np.ndarray) and volts.shape == (2,)
    np.testing.assert_allclose(volts, SIGNALS[(1, 3)], atol=2e-6)
    with pytest.raises(ValueError, match="0 to 5"):
        dev.convert(6, 0)


def test_changed_setting_reaches_the_instrument(dev):
    dev.polarity = "unipolar"
    try:
        # Decoded as unipolar, the instrument's counts read right only when
        # it was told the new range (by a new sign-on).
        assert dev.convert(1, 0) == pytest.approx(SIGNALS[(1, 0)], abs=2e-6)
        assert dev.convert(1, 3) == pytest.approx(0.0, abs=2e-6)  # below the range
    finally:
        dev.polarity = "bipolar"


def test_digital_io_and_reports(dev):
    assert dev.digital_in == 0
    dev.digital_out = 0x3C
    assert dev.digital_out == 0x3C
    with pytest.raises(ValueError, match="0 to 255"):
        dev.digital_out = 256
    assert dev.version == 100 and dev.model_code == -1
    report = dev.setup_report()
    assert "version (valid after a signon): 100" in report and "gain: 1" in report


def test_config_file_round_trip(dev, tmp_path):
    dev.gain = 8
    dev.average = 4
    path = dev.save_config(tmp_path)
    assert "gain=8" in open(path).read().replace(" ", "")
    dev.gain, dev.average = 1, 1
    dev.load_config(tmp_path)
    assert (dev.gain, dev.average) == (8, 4)
    dev.gain, dev.average = 1, 1
    with pytest.raises(q583.Q583Error, match="not found"):
        dev.load_config(tmp_path / "none")


def _during_a_scan(dev, call):
    with dev.scan(codes=[0x00], log_file=False):
        call(dev)


def _codes_for_a_single_channel_scan(dev):
    dev.scan_type = 0
    try:
        with dev.scan(codes=[0x00], scans=1, log_file=False):
            pass
    finally:
        dev.scan_type = 1


# Numpy scalars pass wherever Python numbers do; a wrong type is a
# TypeError, a wrong value a ValueError, a wrong state a Q583Error, all
# before anything reaches the instrument.
@pytest.mark.parametrize(
    "call, error",
    [
        pytest.param(lambda d: setattr(d, "rate", np.float32(100)), None, id="rate=float32"),
        pytest.param(lambda d: setattr(d, "digital_out", np.uint8(5)), None, id="digital_out=uint8"),
        pytest.param(lambda d: setattr(d, "gain", np.int64(2)), None, id="gain=int64"),
        pytest.param(lambda d: d.convert(np.int64(0), np.uint8(0)), None, id="convert(int64)"),
        pytest.param(lambda d: d.convert(1.0), TypeError, id="convert(1.0)"),
        pytest.param(lambda d: setattr(d, "channel_codes", [1.7]), TypeError, id="codes=[1.7]"),
        pytest.param(lambda d: setattr(d, "channel_codes", "00"), TypeError, id="codes='00'"),
        pytest.param(lambda d: d.scan(codes=[0], scans=2.5), TypeError, id="scans=2.5"),
        pytest.param(lambda d: setattr(d, "interval", "1"), TypeError, id="interval='1'"),
        pytest.param(lambda d: d.scan(codes=[0], seconds="5"), TypeError, id="seconds='5'"),
        pytest.param(lambda d: d.scan(codes=[0], scans=1, comment=5), TypeError, id="comment=5"),
        pytest.param(lambda d: q583.Q583(3.5), TypeError, id="Q583(3.5)"),
        pytest.param(lambda d: setattr(d, "gain", True), TypeError, id="gain=True"),
        pytest.param(lambda d: setattr(d, "polarity", 5), TypeError, id="polarity=5"),
        pytest.param(lambda d: d.scan(codes=[0], scans=0), ValueError, id="scans=0"),
        pytest.param(lambda d: d.scan(codes=[0], scans=1, on_gap="loud"), ValueError, id="on_gap='loud'"),
        pytest.param(lambda d: d.scan(codes=[0], scans=1, on_gap=None), TypeError, id="on_gap=None"),
        pytest.param(lambda d: d.scan(codes=[0], scans=1, log_dir="/nonexistent/logs"), ValueError, id="log_dir missing"),
        pytest.param(_codes_for_a_single_channel_scan, ValueError, id="codes with scan type 0"),
        pytest.param(lambda d: setattr(q583.Q583(d.port), "gain", 2), q583.Q583Error, id="closed"),
        pytest.param(lambda d: _during_a_scan(d, lambda d: setattr(d, "gain", 2)), q583.Q583Error, id="scan running"),
    ],
)
def test_argument_types_and_states(dev, call, error):
    dev.gain = 1
    report = dev.setup_report()
    if error is None:
        call(dev)
        return
    with pytest.raises(error) as caught:
        call(dev)
    assert not isinstance(caught.value, (RuntimeError, ctypes.ArgumentError))
    if error is not q583.Q583Error:  # (the scan itself sets the interval)
        assert dev.setup_report() == report  # nothing changed


def test_two_threads_converting_two_channels(dev):
    expected = {0: SIGNALS[0], 1: SIGNALS[(1, 0)]}
    got = {0: [], 1: []}

    def convert(channel):
        for _ in range(5):  # each conversion settles for 0.5 s
            got[channel].append(dev.convert(channel))

    threads = [threading.Thread(target=convert, args=(channel,)) for channel in expected]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join()
    for channel, volts in expected.items():
        np.testing.assert_allclose(got[channel], volts, atol=2e-6)
