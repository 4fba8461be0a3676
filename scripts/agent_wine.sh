# The agent running under Wine with the driver stand-in and the appliance
# peer: shared by scripts/demo and scripts/bench.d/e2e_wine (sourced after
# lib.sh). Each user names its own run folder; everything the run makes
# (Wine prefix, service, driver, network namespace, peer) is undone by
# agent_cleanup, which is also safe to call when nothing was made.

AGENT_SERVICE=bxhvns
AGENT_KEY=0123456789ABCDEF
AGENT_INSTALL_WIN='C:\Program Files\Brontavex\Halvern'

# agent_init NAME: the run folder BUILD/NAME and the programs it uses.
agent_init() {
  RUN="$BUILD/$1"
  WINBUILD="$BUILD/windows"
  WINBIN="$WINBUILD/bin"
  UTM="$WINBUILD/e2e-native/bin/utm"
  PEER_SH="$ROOT/tests/e2e/peer.sh"
  PEER_DIR="$RUN/peer"
  AGENT_INSTALL_DIR="$RUN/wineprefix/drive_c/Program Files/Brontavex/Halvern"
  mkdir -p "$RUN"
}

# agent_build: the Windows flavour's programs (and the native peer) this needs.
agent_build() {
  if [ ! -f "$WINBUILD/build.ninja" ]; then
    cmake -S "$ROOT" -B "$WINBUILD" -G Ninja -DCMAKE_TOOLCHAIN_FILE="$ROOT/cmake/toolchain-mingw64.cmake" \
      >"$BUILD/windows.configure.log" 2>&1 || { cat "$BUILD/windows.configure.log"; return 1; }
  fi
  cmake --build "$WINBUILD" -j "$JOBS" --target bxhvns BXLogger bxhvnd snoopctl hvnstat e2e_utm \
    >"$RUN/build.log" 2>&1 || { tail -40 "$RUN/build.log"; return 1; }
}

# wine_run PROGRAM ARGS...: a Windows program in the run's own prefix.
wine_run() { "$ROOT/cmake/wine-run" "$RUN" "$@"; }

# agent_cleanup: service, driver, peer, namespace and Wine server of the run.
agent_cleanup() {
  local stale=
  if [ -s "$RUN/wineserver.pid" ] && kill -0 "$(cat "$RUN/wineserver.pid")" 2>/dev/null; then
    if [ -f "$AGENT_INSTALL_DIR/bxhvns.exe" ]; then
      wine_run "$AGENT_INSTALL_WIN\\bxhvns.exe" -uninstall -silent -T:20000 -SN:$AGENT_SERVICE </dev/null >/dev/null 2>&1 ||
        stale=1
    fi
    [ -f "$WINBIN/snoopctl.exe" ] && wine_run "$WINBIN/snoopctl.exe" unload </dev/null >/dev/null 2>&1
  fi
  [ -n "${TAIL_PID:-}" ] && kill "$TAIL_PID" 2>/dev/null
  TAIL_PID=
  [ -x "$PEER_SH" ] && "$PEER_SH" down "$PEER_DIR" >/dev/null 2>&1
  "$ROOT/cmake/wine-server" "$RUN" stop >/dev/null 2>&1
  # A service that could not be removed (it did not stop) would start again
  # with the next run's server and make its installation fail: the next run
  # gets a new prefix instead.
  [ -n "$stale" ] && rm -rf "$RUN/wineprefix"
  return 0
}

# A UDP port that nothing on this host listens on now.
agent_free_port() {
  local port
  for _ in $(seq 50); do
    port=$(shuf -i 20000-60999 -n 1)
    ss -Hlun "sport = :$port" 2>/dev/null | grep -q . || { echo "$port"; return 0; }
  done
  return 1
}

# agent_up [utm options...]: the whole set-up, in order: Wine prefix and
# server, network namespace, driver stand-in, the agent's settings, the peer
# (with the given options), the agent installed and started; then waits for
# the agent's reset request at the peer. Sets HOST_IP, PEER_IP, NS, PORT.
agent_up() {
  "$ROOT/cmake/wine-server" "$RUN" start || { echo "Wine did not start"; return 1; }
  "$PEER_SH" up "$PEER_DIR" >/dev/null
  if [ -f "$PEER_DIR/skip" ]; then cat "$PEER_DIR/skip"; return 1; fi
  . "$PEER_DIR/net.env"
  PORT=$(agent_free_port) || { echo "no free UDP port"; return 1; }

  wine_run "$WINBIN/snoopctl.exe" load "$(winepath_of "$WINBIN/bxhvnd.sys")" </dev/null || return 1

  local key='HKLM\SOFTWARE\Brontavex\HVNAgent\Settings'
  wine_run reg delete "$key" /f </dev/null >/dev/null 2>&1
  wine_run reg add "$key" /v ip /t REG_SZ /d "$PEER_IP" /f </dev/null >/dev/null &&
  wine_run reg add "$key" /v port /t REG_DWORD /d "$PORT" /f </dev/null >/dev/null &&
  wine_run reg add "$key" /v key /t REG_SZ /d "$AGENT_KEY" /f </dev/null >/dev/null &&
  wine_run reg add "$key" /v verbose /t REG_DWORD /d "${AGENT_VERBOSE:-1}" /f </dev/null >/dev/null &&
  wine_run reg add "$key" /v FeedbackURL /t REG_SZ /d "" /f </dev/null >/dev/null ||
    { echo "writing the settings failed"; return 1; }
  # AGENT_DWORDS: more DWORD settings, "Name=value ..." (for example TimeOut=60).
  local setting
  for setting in ${AGENT_DWORDS:-}; do
    wine_run reg add "$key" /v "${setting%%=*}" /t REG_DWORD /d "${setting#*=}" /f </dev/null >/dev/null ||
      { echo "writing $setting failed"; return 1; }
  done

  rm -f "$PEER_DIR/appliance.out"
  "$PEER_SH" start "$PEER_DIR" appliance "$UTM" --listen "$PEER_IP:$PORT" --key "$AGENT_KEY" "$@" ||
    { echo "the appliance peer did not start: $(cat "$PEER_DIR/appliance.failed" 2>/dev/null)"; return 1; }

  mkdir -p "$AGENT_INSTALL_DIR"
  cp "$WINBIN/bxhvns.exe" "$WINBIN/BXLogger.dll" "$AGENT_INSTALL_DIR/" || return 1
  rm -f "$AGENT_INSTALL_DIR/BXHVNAgent.log" "$AGENT_INSTALL_DIR/HVNConfig.xml"
  wine_run "$AGENT_INSTALL_WIN\\bxhvns.exe" -install -SN:$AGENT_SERVICE </dev/null || { echo "install failed"; return 1; }
  wine_run "$AGENT_INSTALL_WIN\\bxhvns.exe" -start -SN:$AGENT_SERVICE </dev/null || { echo "start failed"; return 1; }

  for _ in $(seq 300); do
    # The printing peer's line of the reset request, or the counting peer's totals.
    grep -q ' kind=reset\| resets=[1-9]' "$PEER_DIR/appliance.out" 2>/dev/null && return 0
    sleep 0.05
  done
  echo "the agent's reset request did not reach the peer"
  return 1
}

# The Windows path of a Linux file (drive Z: is the Linux root).
winepath_of() { printf 'Z:%s' "$1" | tr '/' '\\'; }

# Notifications the peer has received so far.
agent_peer_notifications() { grep -c ' notif=' "$PEER_DIR/appliance.out" 2>/dev/null || true; }
