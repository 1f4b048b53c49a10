# Sourced by scripts/demo and scripts/test: installs the Debian packages the
# build needs when they are missing (as root), or names the apt-get line.
# Usage: need_packages CMD:PACKAGE ...  (a command, or a file path, to probe)

need_packages() {
  local missing=() item probe pkg
  for item in "$@"; do
    probe=${item%%:*}
    pkg=${item#*:}
    if [[ $probe == /* ]]; then
      [[ -e $probe ]] || missing+=("$pkg")
    else
      command -v "$probe" >/dev/null 2>&1 || missing+=("$pkg")
    fi
  done
  [[ ${#missing[@]} -eq 0 ]] && return 0
  if [[ $(id -u) -eq 0 ]] && command -v apt-get >/dev/null 2>&1; then
    echo "Installing: ${missing[*]}"
    DEBIAN_FRONTEND=noninteractive apt-get update -qq &&
      DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null ||
      { echo "apt-get install failed" >&2; return 1; }
  else
    echo "Missing packages. Install them with:" >&2
    echo "  sudo apt-get install ${missing[*]}" >&2
    return 1
  fi
}

# What every build needs: the compilers and build tools, GoogleTest, CLI11,
# libcurl (HTTP scripts on POSIX).
BUILD_PACKAGES=(cmake:cmake ninja:ninja-build g++:g++ /usr/include/gtest/gtest.h:libgtest-dev
                /usr/include/CLI/CLI.hpp:libcli11-dev
                /usr/include/x86_64-linux-gnu/curl/curl.h:libcurl4-openssl-dev)

# What the tests use besides the build: Python's PIL under the system Python
# (pictures and fonts made by another program), a TrueType font to render
# fonts from, tmux (the terminal in a real terminal), strace (drain counts),
# man (the installed man pages render without a warning), socat (two
# pseudo-terminals joined like serial ports on a null-modem cable, for the
# simulated board on a port), g++'s ThreadSanitizer runtime (several boards
# flashed at once).
TEST_PACKAGES=(/usr/lib/python3/dist-packages/PIL/__init__.py:python3-pil
               /usr/share/fonts/truetype/dejavu/DejaVuSansMono.ttf:fonts-dejavu-core
               tmux:tmux
               man:man-db /usr/bin/groff:groff-base
               socat:socat
               /usr/lib/x86_64-linux-gnu/libtsan.so.2:libtsan2)

# What the benchmarks use besides the build: picocom, the terminal that the
# terminal's figures are compared with (bench/terminal_throughput.sh).
BENCH_PACKAGES=(picocom:picocom)
