# Helpers for the packaging scripts (sourced, not run).

zeq_sudo() {
  if [ "$(id -u)" -eq 0 ]; then "$@"; else sudo "$@"; fi
}

# Installs the Debian packages that are not installed yet.
zeq_install_packages() {
  local missing=() p
  for p in "$@"; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
  done
  [ ${#missing[@]} -gt 0 ] || return 0
  echo "Installing: ${missing[*]}" >&2
  if ! DEBIAN_FRONTEND=noninteractive zeq_sudo apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null 2>&1; then
    zeq_sudo apt-get update -qq
    DEBIAN_FRONTEND=noninteractive zeq_sudo apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
  fi
}

# apt-get source needs a deb-src entry for Debian's archive; when there is none,
# add one (source packages only) in a file of its own and refresh the lists.
zeq_ensure_deb_src() {
  if grep -rqsE '^(Types:.*deb-src|deb-src )' /etc/apt/sources.list /etc/apt/sources.list.d/; then
    return 0
  fi
  local codename
  codename="$(. /etc/os-release && echo "${VERSION_CODENAME:-bookworm}")"
  echo "Adding a deb-src entry for Debian $codename" >&2
  zeq_sudo tee /etc/apt/sources.list.d/zeqtracker-debian-src.sources >/dev/null <<SRC
Types: deb-src
URIs: http://deb.debian.org/debian
Suites: $codename
Components: main
Signed-By: /usr/share/keyrings/debian-archive-keyring.gpg
SRC
  zeq_sudo apt-get update -qq
}
