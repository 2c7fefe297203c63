# Shared by the scripts in this folder: install what is missing, build.
# Sourced, not run.

project_root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)

# Packages every build needs (Debian 12 names).
build_packages=(cmake g++ make pkg-config qtbase5-dev qtbase5-dev-tools libhwy-dev
                qt5-image-formats-plugins fonts-dejavu-core
                libpng-dev libtiff-dev  # the loader works with Qt's PNG and TIFF libraries
                libjpeg62-turbo-dev  # plain JPEG files are decoded with the library of Qt's JPEG reader
                libcfitsio-dev  # FITS images
                # videos, cameras and streams (the module opened on first use)
                libavformat-dev libavcodec-dev libswscale-dev libavutil-dev libavdevice-dev
                ffmpeg  # the video tests and benchmark make their clips with it
                libqt5svg5  # so that the tests meet the SVG reader the loader refuses
                # the Python package, its Dask functions and their tests
                pybind11-dev python3-dev python3-numpy python3-pandas python3-dask python3-distributed
                python3-pytest
                python3-tifffile  # the package's tests write 16-bit and float TIFF with it
                python3-skimage  # its own blob tests run on hessian_maxima.skimage
                # installing: manual pages, the menu entry's check, the Debian
                # package, pip into a virtual environment
                help2man desktop-file-utils dpkg-dev file python3-pip python3-venv python3-setuptools
                python3-wheel)

# Installs the given Debian packages that are not installed yet; does
# nothing when all are there, so the scripts are safe to run again.
ensure_packages() {
    local missing=() pkg
    for pkg in "$@"; do
        dpkg-query -W -f='${Status}' "$pkg" 2>/dev/null | grep -q 'install ok installed' ||
            missing+=("$pkg")
    done
    [ ${#missing[@]} -eq 0 ] && return 0

    local sudo=()
    if [ "$(id -u)" -ne 0 ]; then
        if command -v sudo >/dev/null 2>&1; then
            sudo=(sudo)
        else
            echo "Missing packages: ${missing[*]}; run this script as root to install them." >&2
            return 1
        fi
    fi
    echo "Installing: ${missing[*]}"
    "${sudo[@]}" env DEBIAN_FRONTEND=noninteractive apt-get update -qq
    "${sudo[@]}" env DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends "${missing[@]}"
}

# Configures and builds into build/ (or $1), passing the rest to cmake.
build_project() {
    local dir=${1:-"$project_root/build"}
    shift || true
    cmake -S "$project_root" -B "$dir" "$@"
    cmake --build "$dir" --parallel "$(nproc)"
}

# Sanitizer settings for the checked builds: stop at the first finding, look
# for leaks, and exit with a status no program of ours uses (the
# command-line tool's 1 would otherwise hide a finding from the tests that
# expect a failure). Leaks, and findings in intercepted calls, are
# suppressed only inside system libraries.
export_sanitizer_options() {
    local common="halt_on_error=1:exitcode=86:print_stacktrace=1"
    export ASAN_OPTIONS="$common:detect_leaks=1:abort_on_error=0:strict_string_checks=1:check_initialization_order=1:detect_stack_use_after_return=1:suppressions=$project_root/scripts/asan-suppressions.txt"
    export UBSAN_OPTIONS="$common"
    export LSAN_OPTIONS="suppressions=$project_root/scripts/lsan-suppressions.txt:print_suppressions=0"
    # The window draws without OpenGL; the X11 platform would otherwise load
    # Mesa's GLX driver, which keeps memory that LeakSanitizer cannot
    # attribute once the driver is unloaded at exit.
    export QT_XCB_GL_INTEGRATION=none
}
