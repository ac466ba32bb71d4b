"""The module against norvik-sim over UDP: one test per family of use."""
import _thread
import datetime
import os
import signal
import subprocess
import threading
import time

import pytest

import norvik


def controller(sim, **settings):
    return norvik.Controller(host="127.0.0.1", udp_port=sim.port, **settings)


@pytest.mark.sim("--version", "2.10", "--type-code", "261", "--sn", "SN000042")
def test_identity_and_clock(sim):
    with controller(sim, timeout=300) as c:
        assert (c.link, c.connected, c.timeout) == ("network", True, 300)
        ok, info = c.GetControllerInfo()
        assert ok and (info.TypeCode, info.Version, info.version_text) == (261, 0x020A, "2.10")
        assert c.get_controller_info()[1].CardMax == info.CardMax
        assert c.GetControllerSN() == (True, b"SN000042")
        moment = datetime.datetime(2026, 3, 4, 5, 6, 7)
        assert c.SendTime(moment) == 1
        assert c.last_reply_status == 0
        assert c.GetControllerDateTime() - moment < datetime.timedelta(seconds=5)
    assert not c.connected


@pytest.mark.sim("--transactions", "2")
def test_cards_and_transactions_are_confirmed(sim):
    with controller(sim) as c:
        assert c.AddUnSortedCardA("123456", [1, 0, 0, 0], True, 0, "260101", "271231") == 1
        assert c.GetControllerInfo()[1].UnsortCardCount == 1
        assert c.SendDelOneCard(CardNo="123456") is True
        cards = []
        for _ in range(3):
            result, record = c.ReadTransaction(22)
            assert result == 1 and len(record) == 22
            if record[18] == 0:  # a valid answer without a record: none left
                break
            cards.append(int.from_bytes(record[9:12], "big"))
        # Each record is confirmed as it is read, so the next read brings the next one.
        assert cards == [2000000, 2000001]


def test_a_door(sim):
    with controller(sim) as c:
        assert c.ForceOpenDoorNow(2) is True
        ok, state = c.GetDoorStatus(Door=2)
        assert ok and state != 0
        assert c.ResumeDoorNormalNow(2) is True
        assert c.GetDoorStatus(2) == (True, 0)


def test_a_download_awaiting_the_power_switch(sim, tmp_path):
    hex_path = tmp_path / "fw.hex"
    subprocess.run([os.environ["NORVIK_HEXGEN"], "--type-code", "261", "--version", "3.1", "--start", "0x7600",
                    str(hex_path)], check=True)
    c = controller(sim)
    # The end letter alone is no success: the simulated controller waits for its power switch.
    assert norvik.download(c, hex_path, restart_wait=300) == "downloaded"
    sim.process.send_signal(signal.SIGUSR1)
    time.sleep(0.3)
    assert c.GetControllerInfo()[1].version_text == "3.1"
    with pytest.raises(ValueError, match="restart_wait"):
        norvik.download(c, hex_path, restart_wait=-1)


@pytest.mark.sim("--restart-on-end")
def test_a_download_with_progress_and_ctrl_c(sim, tmp_path):
    hex_path = tmp_path / "fw.hex"
    subprocess.run([os.environ["NORVIK_HEXGEN"], "--type-code", "261", "--version", "3.1", "--start", "0x7600",
                    str(hex_path)], check=True)
    info = norvik.hex_info(hex_path)
    assert (info.type_code, info.version, info.broken_records, info.refusal) == (261, "3.1", [], None)

    c = controller(sim)
    seen = []
    assert norvik.download(c, hex_path, progress=lambda *p: seen.append(p)) == "success"
    total = seen[0][1]
    assert [p for p, _, _ in seen] == list(range(total)) and seen[-1][2] == 0
    assert c.GetControllerInfo()[1].version_text == "3.1"
    assert (tmp_path / "data").exists()  # the history row's folder

    # Ctrl-C during the lines: the run stops after the current one.
    broken = tmp_path / "broken.hex"
    broken.write_text(hex_path.read_text().replace(":40", ":41", 1))
    assert norvik.hex_info(broken).broken_records[0][0] == 1
    with pytest.raises(norvik.HexFileError, match="line 1"):
        norvik.download(c, broken)
    slow = tmp_path / "slow.hex"
    subprocess.run([os.environ["NORVIK_HEXGEN"], str(slow)], check=True)
    timer = threading.Timer(1.0, _thread.interrupt_main)
    timer.start()
    started = time.monotonic()
    assert norvik.download(c, slow, progress=lambda *p: None) == "interrupted"
    assert time.monotonic() - started < 3
    timer.join()


def test_argument_and_link_errors(sim, tmp_path):
    with pytest.raises(norvik.ArgumentError, match="udp_port"):
        norvik.Controller(host="127.0.0.1", udp_port=70000)
    with controller(sim) as c:
        for call, name in [(lambda: c.OpenDoorNow(300, 0, 0), "Door"),
                           (lambda: c.SendSetLCDText("too short"), "Text"),
                           (lambda: c.AddUnSortedCardA("12x", [1, 2, 3, 4], False, 0, "260101", "271231"), "CardNo"),
                           (lambda: c.SendSetControllerSN("SN1", 1), "SN"),
                           (lambda: c.SendTime("yesterday"), "DateTime")]:
            with pytest.raises(ValueError, match=name):
                call()
        assert c.GetControllerInfo()[1].UnsortCardCount == 5  # nothing reached the controller
    serial = norvik.Controller(port=str(tmp_path / "no-such-port"))
    with pytest.raises(OSError, match="no-such-port"):
        serial.connect()
    with pytest.raises(norvik.SocketError):
        norvik.Controller(host="no-such-host.invalid").GetControllerInfo()


@pytest.mark.sim("--udp-count", "4", "--reply-delay", "400")
def test_a_thread_per_controller(sim):
    results = {}

    def work(port):
        with norvik.Controller(host="127.0.0.1", udp_port=port, timeout=1000) as c:
            results[port] = c.GetControllerInfo()[0]

    threads = [threading.Thread(target=work, args=(port,)) for port in sim.ports]
    started = time.monotonic()
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    # Four exchanges of 400 ms each: one after the other would take 1.6 s.
    assert time.monotonic() - started < 1.2
    assert results == {port: True for port in sim.ports}
