"""Arguments that C would cut short -- integers beyond their C type, texts with
a NUL inside -- are refused whole, and nothing reaches the board."""
import pytest

import qolven
import qolven.sim

BIG = 2 ** 32

# What is tried, the exception, a part of its text.
NUMBERS = [
    (lambda d: d.loading_point.__setitem__(BIG + 3, 77), qolven.QolvenInvalidArgument, "point 4294967299 is outside"),
    (lambda d: d.get("loading-point", -BIG), qolven.QolvenInvalidArgument, "point -4294967296 is outside"),
    (lambda d: setattr(d, "channel", BIG), qolven.QolvenInvalidArgument, "channel 4294967296 is outside"),
    (lambda d: setattr(d, "channel", 1.9), TypeError, "channel takes an integer, not float"),
    (lambda d: setattr(d, "channel", True), TypeError, "not bool"),
    (lambda d: setattr(d, "calibration_type", BIG + 1), qolven.QolvenInvalidArgument, "outside"),
    (lambda d: d.read_page(BIG + 1), qolven.QolvenInvalidArgument, "page 4294967297 is outside"),
    (lambda d: d.set_tare(2 ** 64), qolven.QolvenInvalidArgument, "tare count"),
    (lambda d: d.set("dest-mac", [0, 1, 2, 3, 4, 5.5]), TypeError, "not float"),
    (lambda d: d.stream(rate_code=BIG + 15), qolven.QolvenInvalidArgument, "sampling-rate code"),
    (lambda d: qolven.sim.set_answer_delay("P1", BIG + 5000000), qolven.QolvenInvalidArgument, "answer delay"),
    (lambda d: qolven.sim.set_register("P1", "eeprom", 114, BIG + 9), qolven.QolvenInvalidArgument, "value"),
    (lambda d: qolven.sim.set_register("P1", "eeprom", BIG + 114, 9), qolven.QolvenInvalidArgument, "address"),
    (lambda d: qolven.sim.inject_status("FT_Write", BIG + 4), qolven.QolvenInvalidArgument, "status"),
    (lambda d: qolven.sim.inject_fault("P1", "no_answer", every=1.5), TypeError, "not float"),
]

TEXTS = [
    (lambda d: setattr(d, "decimal_point", "3\x00junk"), "decimal_point"),
    (lambda d: setattr(d, "dest_ip", "192.168.1.10\x00"), "dest_ip"),
    (lambda d: d.call("Set_Decimal_Point", "3\x00junk", 0), "Set_Decimal_Point argument 1"),
    (lambda d: d.call("Set_Decimal_Point\x00junk", 3, 0), "method name"),
    (lambda d: d.field("dataLogRecord\x00x"), "field name"),
    (lambda d: d.press_key("tare\x00"), "key"),
    (lambda d: qolven.open("P1\x00X", simulate=True), "serial number"),
    (lambda d: qolven.sim.configure("type=2\x00;type=9"), "description"),
    (lambda d: qolven.sim.set_register("P1\x00X", "eeprom", 114, 9), "serial number"),
]


def assert_untouched(dev):
    """Nothing was written, and the board answers as before."""
    assert qolven.sim.writes("P1") == []
    assert dev.channel == 0 and dev.calibration_type == 0
    assert dev.decimal_point == 0 and dev.loading_point[3] == "Unassigned"
    assert qolven.sim.register("P1", "eeprom", 114) == 0xFF00


@pytest.mark.parametrize("attempt,error,text", NUMBERS)
def test_integers_beyond_their_c_type_are_refused(board, attempt, error, text):
    dev = board("type=2")
    qolven.sim.clear_writes("P1")
    with pytest.raises(error, match=text):
        attempt(dev)
    assert_untouched(dev)


@pytest.mark.parametrize("attempt,what", TEXTS)
def test_texts_with_a_nul_inside_are_refused(board, attempt, what):
    dev = board("type=2")
    qolven.sim.clear_writes("P1")
    with pytest.raises(qolven.QolvenInvalidArgument) as caught:
        attempt(dev)
    assert what in str(caught.value) and "NUL" in str(caught.value)
    assert_untouched(dev)
    assert [d.serial for d in qolven.held_devices()] == ["P1"]
