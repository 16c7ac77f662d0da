# A python3-libtorrent seeder that is found only through its torrent's tracker: it listens on
# 127.0.0.2, so the tracker records an address that the downloader does not take for its own.
# usage: tracker_seeder.py TORRENT SAVE_DIR
# Prints "port N" once listening and "announced" once the tracker has answered.
import sys
import time

import libtorrent as lt

torrent, save = sys.argv[1], sys.argv[2]
session = lt.session({
    "listen_interfaces": "127.0.0.2:0",
    "outgoing_interfaces": "127.0.0.2",
    "enable_dht": False, "enable_lsd": False, "enable_upnp": False, "enable_natpmp": False,
    "allow_multiple_connections_per_ip": True,
    "announce_to_all_trackers": True,
    "alert_mask": lt.alert.category_t.tracker_notification | lt.alert.category_t.error_notification,
})
handle = session.add_torrent({"ti": lt.torrent_info(torrent), "save_path": save})
while handle.status().state in (lt.torrent_status.checking_files, lt.torrent_status.checking_resume_data):
    time.sleep(0.05)
print("port", session.listen_port(), flush=True)
handle.force_reannounce()
while True:
    for alert in session.pop_alerts():
        print(alert.message(), flush=True)
        if isinstance(alert, lt.tracker_reply_alert):
            print("announced", flush=True)
    time.sleep(0.05)
