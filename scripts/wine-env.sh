# The environment every Windows program of this project runs in under Wine:
# the prefix, no debug output, no Mono or Gecko (Wine would offer to download
# them), and no proxy (Wine's WinHTTP honours these variables; tests and the
# demo talk to local servers only). Sourced by the scripts and by the build's
# wine-run, with WINEPREFIX set first (plain sh passes no arguments to "."):
#   WINEPREFIX=PREFIX; . scripts/wine-env.sh
export WINEPREFIX="${WINEPREFIX:?set WINEPREFIX before sourcing wine-env.sh}"
export WINEDEBUG="${WINEDEBUG:--all}"
export WINEDLLOVERRIDES="${WINEDLLOVERRIDES:-mscoree,mshtml=}"
unset http_proxy https_proxy HTTP_PROXY HTTPS_PROXY no_proxy NO_PROXY
