# A python3-libtorrent seeder that is found only through its torrents' tracker: it listens on
# 127.0.0.2, so the tracker records an address that the downloader does not take for its own.
# usage: tracker_seeder.py TORRENT... SAVE_DIR
# Prints "port N" once listening, "announced" each time the tracker answers, and "uploaded N"
# whenever the payload it has sent over all its torrents grows. It announces every two seconds:
# a downloader that dials with its HTTP disguise, which libtorrent refuses, is reached when the
# seeder dials it, as soon as the tracker names it.
import sys
import time

import libtorrent as lt

torrents, save = sys.argv[1:-1], sys.argv[-1]
session = lt.session({
    "listen_interfaces": "127.0.0.2:0",
    "outgoing_interfaces": "127.0.0.2",
    "enable_dht": False, "enable_lsd": False, "enable_upnp": False, "enable_natpmp": False,
    "allow_multiple_connections_per_ip": True,
    # The downloader's UDP port takes no uTP: a uTP dial would only wait out its time-out before TCP.
    "enable_outgoing_utp": False, "enable_incoming_utp": False,
    "announce_to_all_trackers": True,
    "alert_mask": lt.alert.category_t.tracker_notification | lt.alert.category_t.error_notification
    | lt.alert.category_t.connect_notification,
})
handles = [session.add_torrent({"ti": lt.torrent_info(t), "save_path": save}) for t in torrents]
for handle in handles:
    # A queued torrent turns incoming connections away until the session starts it.
    handle.unset_flags(lt.torrent_flags.auto_managed)
    handle.resume()
while any(h.status().state in (lt.torrent_status.checking_files, lt.torrent_status.checking_resume_data)
          for h in handles):
    time.sleep(0.05)
print("port", session.listen_port(), flush=True)
for handle in handles:
    handle.force_reannounce()
uploaded = 0
next_announce = time.monotonic() + 2
while True:
    if time.monotonic() >= next_announce:
        for handle in handles:
            handle.force_reannounce(0, -1, lt.reannounce_flags_t.ignore_min_interval)
        next_announce += 2
    for alert in session.pop_alerts():
        print(alert.message(), flush=True)
        if isinstance(alert, lt.tracker_reply_alert):
            print("announced", flush=True)
    total = sum(h.status().total_payload_upload for h in handles)
    if total != uploaded:
        uploaded = total
        print("uploaded", uploaded, flush=True)
    time.sleep(0.05)
