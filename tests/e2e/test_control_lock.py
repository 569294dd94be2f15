"""Device lock end to end: the request file, the lock protocol with the payment-application
stand-in, the "LockDevice" alert, recovery after a restart and the lock admission rule."""
import unittest

from control_support import DEVSTATE, SUCCESS, ControlCase

LOCKED_REFUSAL = {"status": "3", "failDes": "Device is locked, please unlock it and try again."}


class LockProtocolTest(ControlCase):
    SERIAL = "NB20000011"

    def test_lock_acknowledged_alert_admission_and_unlock(self):
        start = len(self.server.reports)
        self.assert_reply(self.command("devLock", {"lockType": "1", "pwd": "1234"}), "devLock", SUCCESS)
        self.assertEqual(self.data_file("devlock_state"), "1\n")
        self.svc.wait_log(r"now state: 0, target state: 1, try to change state")

        # The stand-in gets 94 after the first delay, locks and answers with 94.
        self.wait_signals([94])
        alert = self.wait_alert("LockDevice", "active", start)
        self.assertEqual(alert, {
            "cmd": "alert", "sn": self.SERIAL,
            "param": {"type": "app", "time": alert["param"]["time"], "level": "critical", "alertStatus": "active",
                      "msgName": "LockDevice",
                      "msg": {"coordinates": "113.9,22.5", "location": "", "password": ""}}})
        self.assertRegex(alert["param"]["time"], r"^\d{4}-\d\d-\d\d \d\d:\d\d:\d\d$")
        self.assertIn("lockState=1", self.term.read(DEVSTATE))
        self.svc.wait_log(r"device lock successfully")

        # Locked: the lock rule refuses "setDevParam", but not "reboot".
        self.assert_reply(self.command("setDevParam", {"brightness": 80}, task_id="t2"), "setDevParam",
                          LOCKED_REFUSAL, task_id="t2")
        self.svc.wait_log(r"cmd\[setDevParam\] was refused, because device is locked")
        self.assert_reply(self.command("reboot", {"rebootType": "1"}, task_id="t3"), "reboot", SUCCESS, task_id="t3")
        self.wait_signals([94, 98])

        # Unlock: "0" recorded at once, 93 to the stand-in, cleared alert after its answer.
        start = len(self.server.reports)
        self.assert_reply(self.command("devLock", {"lockType": "2"}, task_id="t4"), "devLock", SUCCESS, task_id="t4")
        self.assertEqual(self.data_file("devlock_state"), "0\n")
        self.wait_signals([94, 98, 93])
        self.wait_alert("LockDevice", "cleared", start)
        self.assertNotIn("lockState=1", self.term.read(DEVSTATE))
        self.assertEqual(self.alerts("LockDevice", start), ["cleared"])
        self.assert_reply(self.command("setDevParam", {"brightness": 80}, task_id="t5"), "setDevParam", SUCCESS,
                          task_id="t5")


class SilentApplicationTest(ControlCase):
    """A payment application that never answers: the request survives a restart."""
    SERIAL = "NB20000012"
    ALIBANK_ARGS = ("--lock-answer-delay-ms", "-1")

    def test_request_is_recovered_after_restart_until_answered(self):
        start = len(self.server.reports)
        self.assert_reply(self.command("devLock", {"lockType": "1"}), "devLock", SUCCESS)
        self.wait_signals([94])
        # A mismatching answer changes nothing.
        self.signal_service(93)
        self.svc.wait_log(r"receive signal: \d+\[[^\]]*\], state: 1")
        self.svc.wait_log(r"error state")
        self.assertNotIn("device lock successfully", self.svc.log_text())
        self.assertEqual(self.alerts("LockDevice", start), [])

        # Restart: the recorded request is pursued again.
        self.restart_service()
        self.svc.wait_log(r"now state: 0, target state: 1, try to recovery state")
        self.wait_signals([94, 94])
        self.assertEqual(self.data_file("devlock_state"), "1\n")

        # An application that answers now completes the protocol after the next restart.
        self.stop_alibank()
        self.start_alibank()
        self.restart_service()
        self.svc.wait_log(r"try to recovery state")
        self.wait_alert("LockDevice", "active", start)
        self.svc.wait_log(r"device lock successfully")


class AlreadyLockedTest(ControlCase):
    SERIAL = "NB20000013"
    TERMINAL_ARGS = ("--locked",)

    def test_lock_of_a_locked_device_only_records(self):
        self.assert_reply(self.command("devLock", {"lockType": "1"}), "devLock", SUCCESS)
        self.assertEqual(self.data_file("devlock_state"), "1\n")
        self.svc.wait_log(r"now state is the same as target state, no need to do, now state: 1")
        self.assertEqual(self.term.signals_received(), [])
        # Recovery with nothing to do, and no recorded request at all, are both quiet.
        self.restart_service()
        self.svc.wait_log(r"now state is the same as target state, no need to do, now state: 1")


class NoRecordTest(ControlCase):
    SERIAL = "NB20000014"

    def test_start_without_record_skips_recovery(self):
        self.svc.wait_log(r"no backup data, skip recovery devlock")
        self.assertIsNone(self.data_file("devlock_state"))


if __name__ == "__main__":
    unittest.main()
