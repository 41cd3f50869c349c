#!/usr/bin/env bash
# Client plug-in for ../shared/bench/run.sh: orvclient configured as the shared orvclient.sh plug-in
# does it (key made by orvconf, multicall, session cache, no TCP delay), plus its metrics endpoint
# (session field metrics, orvconf -t) scraped once a second by curl while the agent runs, so that a
# run compares the endpoint off (clients/orvclient.sh) and on and scraped (this plug-in).
#   usage: orvclient-metrics.sh LISTEN_PORT FAR_HOST:FAR_PORT CA_FILE CERT_FILE KEY_FILE
#   ../shared/bench/run.sh --clients orvclient,orvclient-metrics="$PWD/bench/clients/orvclient-metrics.sh"
# ORV_BIN: folder holding editor/orvconf and agent/orvclient (run.sh sets it to "$PWD/build").
# ORV_SCRAPE_LOG: where each scrape's HTTP status goes, one a line (default: the scratch folder,
# which the harness removes), to see afterwards that the scrapes were answered.
set -euo pipefail
LPORT=$1 FAR=$2 CA=$3
DIR=${BENCH_CLIENT_DIR:-$(mktemp -d /tmp/bench-orv.XXXXXX)}
BIN=${ORV_BIN:?ORV_BIN must name the folder holding editor/orvconf and agent/orvclient (run.sh sets it)}
for b in editor/orvconf agent/orvclient; do
  [[ -x $BIN/$b ]] || { echo "orvclient-metrics.sh: $BIN/$b not found or not executable" >&2; exit 1; }
done
MPORT=$(python3 -c 'import socket; s = socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])')
CONF=$DIR/bench.orv PW=bench-pw
oc() { "$BIN/editor/orvconf" -f "$CONF" -z "$PW" "$@" </dev/null >>"$DIR/orvconf.log" 2>&1; }
oc -key -gen -N k
oc -key -Req -N k -O "$DIR/k.csr" -D "/CN=bench-client"
openssl x509 -req -in "$DIR/k.csr" -CA "$CA" -CAkey "$(dirname "$CA")/ca.key" -CAcreateserial \
  -out "$DIR/k.crt" -days 2 -sha256 >>"$DIR/orvconf.log" 2>&1
oc -cert -insert -N c -I "$DIR/k.crt"
oc -root -insert -N r -I "$CA"
oc -session -insert -N s -L "$LPORT" -H "${FAR%:*}" -P "${FAR##*:}" -B c -A k -X r -M -e -j -t "127.0.0.1:$MPORT"
grep -q "operation failed" "$DIR/orvconf.log" && { cat "$DIR/orvconf.log" >&2; exit 1; }
"$BIN/agent/orvclient" -f "$CONF" -p "$PW" s </dev/null >>"$DIR/orvclient.log" 2>&1 &
AGENT=$!
# The scraper is not the agent's descendant, so its own CPU is not counted as the client's; it
# ends with the agent.
(while kill -0 "$AGENT" 2>/dev/null; do
   curl -s -o /dev/null -w '%{http_code}\n' --max-time 2 "http://127.0.0.1:$MPORT/metrics" || true
   sleep 1
 done >>"${ORV_SCRAPE_LOG:-$DIR/scrapes.log}" 2>&1) </dev/null &
echo "$AGENT"
