#!/bin/bash
# A syslog daemon of the tests' own: Debian's rsyslogd with a configuration,
# pid file and work directory in DIR, receiving UDP on 127.0.0.1 at a free
# port of its own (written to DIR/port) and writing every datagram to
# DIR/received.log as "<pri> <facility> <severity> <raw datagram>". It never
# touches the machine's own syslog.
#   syslog_daemon.sh start DIR | stop DIR
set -eu
action=$1
dir=$2
rsyslogd=${RSYSLOGD:-/usr/sbin/rsyslogd}

stop() {
  if [ -f "$dir/rsyslogd.pid" ]; then
    pid=$(cat "$dir/rsyslogd.pid")
    # Only the daemon this script started: its pid file, and its command line
    # naming this directory's configuration.
    if [ -n "$pid" ] && grep -qF "$dir/rsyslog.conf" "/proc/$pid/cmdline" 2>/dev/null; then
      kill "$pid" 2>/dev/null || true
      for _ in $(seq 50); do
        kill -0 "$pid" 2>/dev/null || break
        sleep 0.1
      done
    fi
    rm -f "$dir/rsyslogd.pid"
  fi
}

case $action in
start)
  stop
  rm -rf "$dir"
  mkdir -p "$dir/work"
  port=$(python3 -c 'import socket; s=socket.socket(socket.AF_INET, socket.SOCK_DGRAM); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])')
  cat > "$dir/rsyslog.conf" <<CONF
global(workDirectory="$dir/work" maxMessageSize="8k")
module(load="imudp")
input(type="imudp" address="127.0.0.1" port="$port" rcvbufSize="8m")
template(name="received" type="string" string="%pri% %syslogfacility% %syslogseverity% %rawmsg%\n")
action(type="omfile" file="$dir/received.log" template="received")
CONF
  : > "$dir/received.log"
  "$rsyslogd" -f "$dir/rsyslog.conf" -i "$dir/rsyslogd.pid" </dev/null >"$dir/rsyslogd.out" 2>&1
  # Ready when the daemon holds the port.
  for _ in $(seq 100); do
    if [ -s "$dir/rsyslogd.pid" ] && ss -Huln "src 127.0.0.1:$port" 2>/dev/null | grep -q .; then
      echo "$port" > "$dir/port"
      exit 0
    fi
    sleep 0.1
  done
  echo "rsyslogd did not start:" >&2
  cat "$dir/rsyslogd.out" >&2
  stop
  exit 1
  ;;
stop)
  stop
  ;;
*)
  echo "usage: $0 start|stop DIR" >&2
  exit 2
  ;;
esac
