# A python3-libtorrent peer on 127.0.0.1 for the download tool's tests and benchmarks.
# usage: libtorrent_peer.py seed|leech TORRENT SAVE_DIR [PEER_PORT]
# Prints "port N" once listening and "done SECONDS" when a leecher has the whole content;
# a seeder serves until it is stopped.
import sys
import time

import libtorrent as lt

mode, torrent, save = sys.argv[1], sys.argv[2], sys.argv[3]
session = lt.session({
    "listen_interfaces": "127.0.0.1:0",
    "enable_dht": False, "enable_lsd": False, "enable_upnp": False, "enable_natpmp": False,
    "allow_multiple_connections_per_ip": True,
    # Over TCP only: uTP between two sessions on loopback crawls (7 MB/s against 90 over TCP).
    "enable_outgoing_utp": False, "enable_incoming_utp": False,
    # Plain handshakes: a peer that tries an encrypted one first waits for it to fail.
    "out_enc_policy": int(lt.enc_policy.pe_disabled), "in_enc_policy": int(lt.enc_policy.pe_disabled),
})
handle = session.add_torrent({"ti": lt.torrent_info(torrent), "save_path": save})
# A queued torrent turns incoming connections away until the session starts it: start it now.
handle.unset_flags(lt.torrent_flags.auto_managed)
handle.resume()
while handle.status().paused or handle.status().state in (lt.torrent_status.checking_files,
                                                          lt.torrent_status.checking_resume_data):
    time.sleep(0.05)
print("port", session.listen_port(), flush=True)
if len(sys.argv) > 4:
    handle.connect_peer(("127.0.0.1", int(sys.argv[4])))
start = time.monotonic()
while True:
    if mode == "leech" and handle.status().is_seeding:
        print("done %.3f" % (time.monotonic() - start), flush=True)
        break
    time.sleep(0.05)
