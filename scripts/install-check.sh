#!/usr/bin/env bash
# Checks the two ways in that do not go through `cmake --install` (which the
# test suite's installed_tree checks):
#   - pip: installs the Python package from this checkout into a fresh
#     virtual environment over Debian's Python, offline, imports it from
#     another folder, compares its versions and uninstalls it;
#   - the Debian package: builds it from build/ (run ./scripts/test.sh
#     first) and checks its dependencies and the files it installs.
set -euo pipefail
source "$(dirname "$0")/common.sh"

ensure_packages "${build_packages[@]}"
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
failures=0
fail() {
    echo "FAIL: $*" >&2
    failures=$((failures + 1))
}
version=$("$project_root/build/bin/hessian-maxima-cli" --version | cut -d' ' -f2)

echo "== pip install into a virtual environment"
/usr/bin/python3 -m venv --system-site-packages "$work/venv"
"$work/venv/bin/pip" install --quiet --no-cache-dir --no-build-isolation --no-index "$project_root"
answer=$(cd "$work" && "$work/venv/bin/python" -c '
import importlib.metadata
import hessian_maxima as hm
print(hm.__file__, hm.__version__, importlib.metadata.version("hessian-maxima"))')
echo "$answer"
read -r where package_version metadata_version <<<"$answer"
[[ "$where" == "$work/venv/"* ]] || fail "imported from $where, not from the virtual environment"
[[ "$package_version" == "$version" && "$metadata_version" == "$version" ]] ||
    fail "versions $package_version (package) and $metadata_version (metadata), not $version"
"$work/venv/bin/pip" uninstall --quiet --yes hessian-maxima
if "$work/venv/bin/pip" show --quiet hessian-maxima 2>/dev/null ||
    [[ -e "$("$work/venv/bin/python" -c 'import sysconfig; print(sysconfig.get_path("platlib"))')/hessian_maxima" ]]; then
    fail "pip uninstall left the package behind"
fi

echo "== Debian package"
(cd "$project_root/build" && cpack -G DEB -B "$work/deb" >/dev/null)
deb=$(ls "$work"/deb/hessian-maxima_"$version"_*.deb)
dpkg-deb --field "$deb" Package Version Depends
depends=$(dpkg-deb --field "$deb" Depends)
for needed in python3-numpy libqt5core5a libqt5widgets5 libcfitsio; do
    [[ "$depends" == *"$needed"* ]] || fail "the package does not depend on $needed"
done
contents=$(dpkg-deb --contents "$deb" | awk '{print $6}')
for file in ./usr/bin/hessian-maxima ./usr/bin/hessian-maxima-cli ./usr/share/man/man1/hessian-maxima-cli.1.gz \
            ./usr/share/applications/hessian-maxima.desktop ./usr/share/icons/hicolor/48x48/apps/hessian-maxima.png; do
    grep -qxF "$file" <<<"$contents" || fail "the package lacks $file"
done
grep -q '/dist-packages/hessian_maxima/_core\.' <<<"$contents" || fail "the package lacks the Python module"

echo "install-check: $failures failed"
[[ $failures -eq 0 ]]
