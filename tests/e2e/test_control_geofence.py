"""Geofence end to end: the stored fence, evaluation on the command, on signal 92 and on
connection, the lock it drives through the stand-in and the "GeoFence" alert once per
excursion; the signal-92 throttle."""
import unittest

from control_support import SUCCESS, ControlCase, pay_signal

CENTRE = "113.9,22.5"
INSIDE = ("latitude=22.5", "longitude=113.9")
OUTSIDE = ("latitude=22.509", "longitude=113.9")  # about 1000 m north


def fence(radius="500", push_alert=1, coordinates=CENTRE):
    return {"geofenceCoordinates": coordinates, "geofenceRadius": radius, "cycle": "daily", "pushAlert": push_alert}


class GeofenceTest(ControlCase):
    SERIAL = "NB20000021"

    def test_ok_triggered_reported_cleared(self):
        # ok: stored, device inside, nothing happens.
        self.assert_reply(self.command("geofence", fence()), "geofence", SUCCESS)
        self.assertEqual(self.data_file("lbs_geofence"),
                         '{"geofenceCoordinates":"113.9,22.5","geofenceRadius":"500","cycle":"daily","pushAlert":1}\n')
        self.svc.wait_log(r"geofence: radius: 500, distance: 0\.00, state is ok")
        self.assertIsNone(self.data_file("lbs_geofence_flag"))
        self.assertIsNone(self.data_file("devlock_state"))

        # triggered by signal 92: deviceInfo report, lock, "GeoFence" active, flag.
        start = len(self.server.reports)
        self.devstate(*OUTSIDE)
        self.signal_service(92)
        self.svc.wait_log(r"geofence: radius: 500, distance: 1000\.75, state is triggered")
        alert = self.wait_alert("GeoFence", "active", start)
        self.assertEqual(alert["param"]["msg"], {"coordinates": "113.9,22.509", "location": "", "password": ""})
        self.assertEqual(self.data_file("lbs_geofence_flag"), "1\n")
        self.assertEqual(self.data_file("devlock_state"), "1\n")
        self.server.wait_report("deviceInfo", start=start)
        self.wait_signals([94])
        self.wait_alert("LockDevice", "active", start)

        # reported: another evaluation does not alert again.
        self.assert_reply(self.command("geofence", fence(), task_id="t2"), "geofence", SUCCESS, task_id="t2")
        self.svc.wait_log(r"geofence messages has been reported, no need to report again")
        self.assertEqual(self.alerts("GeoFence", start), ["active"])

        # a reconnection evaluates too (still outside, still reported once).
        self.broker.stop()
        self.svc.wait_log(r"mqtt connection lost")
        self.broker.start()
        self.svc.wait_log(r"no need to report again", count=2, timeout=90)
        self.wait_answering()

        # cleared: back inside, evaluated by the command.
        start = len(self.server.reports)
        self.devstate(*INSIDE)
        self.assert_reply(self.command("geofence", fence(), task_id="t3"), "geofence", SUCCESS, task_id="t3")
        self.wait_alert("GeoFence", "cleared", start)
        self.assertIsNone(self.data_file("lbs_geofence_flag"))
        self.assertEqual(self.data_file("devlock_state"), "0\n")
        self.wait_signals([94, 93])
        self.wait_alert("LockDevice", "cleared", start)
        self.assertEqual(self.alerts("GeoFence", start), ["cleared"])

    def test_silent_fence_locks_and_removal_clears_anyway(self):
        self.devstate(*OUTSIDE)
        start = len(self.server.reports)
        self.assert_reply(self.command("geofence", fence(push_alert=0)), "geofence", SUCCESS)
        self.assertEqual(self.data_file("lbs_geofence_flag"), "1\n")
        self.assertEqual(self.data_file("devlock_state"), "1\n")
        self.wait_signals([94])
        self.wait_alert("LockDevice", "active", start)
        self.assertEqual(self.alerts("GeoFence", start), [])

        # Removal (empty centre) unlocks and clears regardless of "pushAlert".
        self.assert_reply(self.command("geofence", fence(coordinates=""), task_id="t2"), "geofence", SUCCESS,
                          task_id="t2")
        self.svc.wait_log(r"no geofence file but device is locked, unlock and skip")
        self.assertIsNone(self.data_file("lbs_geofence"))
        self.assertIsNone(self.data_file("lbs_geofence_flag"))
        self.assertEqual(self.data_file("devlock_state"), "0\n")
        self.wait_alert("GeoFence", "cleared", start)
        self.wait_signals([94, 93])


class UpdateSignalTest(ControlCase):
    SERIAL = "NB20000022"

    def test_signal_92_reports_at_most_once_a_minute(self):
        start = len(self.server.reports)
        self.signal_service(92)
        self.server.wait_report("deviceInfo", start=start)
        self.svc.wait_log(r"no geofence file, skip", count=2)  # connection, then the signal
        self.signal_service(92)
        hit = self.svc.wait_log(r"The (\d+) signal is dropped because too frequent: 0h (\d+)m (\d+)s left")
        sig, minutes, seconds = map(int, hit[0])
        self.assertEqual(sig, pay_signal(92))
        self.assertTrue(50 <= minutes * 60 + seconds <= 60, hit)
        self.assertEqual(len(self.reports("deviceInfo", start)), 1)
        # The stand-in is not involved in the signal to the service.
        self.assertEqual(self.term.signals_received(), [])

    def test_signal_while_disconnected_is_dropped_and_not_counted(self):
        self.broker.stop()
        self.svc.wait_log(r"mqtt connection lost")
        self.signal_service(92)
        self.svc.wait_log(r"mqtt is disconnect, report failed")
        self.broker.start()
        start = len(self.server.reports)
        self.svc.wait_log(r"connection callback", count=2, timeout=90)
        self.signal_service(92)
        self.server.wait_report("deviceInfo", start=start, timeout=20)
        self.assertNotIn("dropped because too frequent", self.svc.log_text())


if __name__ == "__main__":
    unittest.main()
