# Sourced by the scripts: makes the project's virtual environment and sets $py to its
# interpreter; install_test_tools installs what the test suite needs into it. The system interpreter is never installed into (Debian marks it
# externally managed).
#   CORVANE_PYTHON  interpreter the environment is made from (default: python3)
#   CORVANE_VENV    where the environment lives (default: .venv in the repository)
venv="${CORVANE_VENV:-$root/.venv}"
py="$venv/bin/python"
if [ ! -x "$py" ]; then
  echo "Creating the virtual environment $venv ..." >&2
  if ! "${CORVANE_PYTHON:-python3}" -m venv "$venv" 2>/dev/null; then
    rm -rf "$venv"
    # Debian ships venv (and the pip it bootstraps) separately from python3.
    pkg="$("${CORVANE_PYTHON:-python3}" -c 'import sys; print(f"python{sys.version_info[0]}.{sys.version_info[1]}-venv")')"
    echo "Installing $pkg through apt-get ..." >&2
    SUDO=""
    [ "$(id -u)" -eq 0 ] || SUDO="sudo"
    $SUDO apt-get update -qq
    DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -qq --no-install-recommends "$pkg" >/dev/null
    "${CORVANE_PYTHON:-python3}" -m venv "$venv"
  fi
fi
export PIP_DISABLE_PIP_VERSION_CHECK=1

# The runtime dependencies and the test extra of pyproject.toml.
install_test_tools() {
  local packages
  mapfile -t packages < <("$py" - <<'PY'
import re
text = open("pyproject.toml", encoding="utf-8").read()
for key in ("dependencies", "test"):
    for item in re.findall(r'"([^"]+)"', re.search(rf"^{key} = \[(.*?)\]", text, re.M | re.S).group(1)):
        print(item)
PY
)
  echo "Installing the test tools into $venv: ${packages[*]} ..." >&2
  "$py" -m pip install -q "${packages[@]}"
}
