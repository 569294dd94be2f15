# Private apt for Debian 12's mipsel archive, sourced by the mips scripts: never touches the
# host's package state (own sources restricted to mipsel, an empty dpkg status, own lists and
# archive cache under the given directory).
#   mips_apt_init DIR MIRROR SUITE...   prepares DIR and sets the array mips_apt_opts
# Use: apt-get "${mips_apt_opts[@]}" update | install --download-only | download ...
#   mips_host_pkgs NAME...              installs the host's own packages that are missing
mips_host_pkgs() {
  local p missing=()
  for p in "$@"; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
  done
  if [ ${#missing[@]} -gt 0 ]; then
    echo "installing ${missing[*]}" >&2
    export DEBIAN_FRONTEND=noninteractive
    apt-get update -qq
    apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
  fi
}

mips_apt_init() {
  local dir=$1 mirror=$2 s
  shift 2
  mkdir -p "$dir"/{etc/apt.conf.d,etc/preferences.d,etc/sources.list.d,state/lists/partial,cache/archives/partial}
  : > "$dir/state/status"
  for s in "$@"; do
    echo "deb [arch=mipsel signed-by=/usr/share/keyrings/debian-archive-keyring.gpg] $mirror $s main"
  done > "$dir/etc/sources.list"
  mips_apt_opts=(
    -o "Dir::Etc=$dir/etc"
    -o "Dir::Etc::SourceList=$dir/etc/sources.list"
    -o "Dir::Etc::SourceParts=$dir/etc/sources.list.d"
    -o "Dir::Etc::Parts=$dir/etc/apt.conf.d"
    -o "Dir::Etc::PreferencesParts=$dir/etc/preferences.d"
    -o "Dir::Etc::TrustedParts=/etc/apt/trusted.gpg.d"
    -o "Dir::State=$dir/state"
    -o "Dir::State::status=$dir/state/status"
    -o "Dir::Cache=$dir/cache"
    -o "Dir::Cache::archives=$dir/cache/archives"
    -o "Dir::Log=$dir/log"
    -o "APT::Architecture=mipsel"
    -o "APT::Architectures::=mipsel"
    -o "APT::Install-Recommends=false"
    -o "APT::Install-Suggests=false"
    -o "Acquire::Languages=none"
    -o "Acquire::Check-Valid-Until=false"
    -o "Debug::NoLocking=true"
  )
}
