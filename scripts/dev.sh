#!/usr/bin/env bash
# Sets up a Debian 12 machine for Quorvel (installing only what is missing), builds
# it, and then runs the test suite ("test"), the example conversation ("example") or
# the standard benchmarks ("bench"), the benchmark of lists at hosting scale
# ("bench-network": the table of their targets at 10,000 and 1,000 domains, on local
# disk and on slow storage at 100 us and 1 ms a call, this build beside --before;
# about an hour, --quick a few minutes; so not among the standard ones), or
# makes and checks the Debian package ("package", in its own build directory,
# build-package/; QUORVEL_MAINTAINER="Name <address>" names who publishes it), or
# makes and checks everything a release publishes ("release": that package, and in
# build-release/ the programs linked statically, packed as a tar.gz archive with
# install.sh and as an RPM). Words after "bench" or "bench-network" go to the
# benchmark, for instance --before PATH (another build of quorvel to run beside)
# or, for "bench", --huge.
# Usage: scripts/dev.sh test | example | bench [ARGUMENTS] | bench-network [ARGUMENTS]
#                       | package | release | build
set -euo pipefail

here=$(cd "$(dirname "$0")/.." && pwd)
build="${QUORVEL_BUILD_DIR:-$here/build}"
task="${1:-test}"

# Debian packages the build and the tests need, each with a file that shows it is there.
need=()
check() { [ -e "$2" ] || need+=("$1"); }
check g++ /usr/bin/g++
check cmake /usr/bin/cmake
check make /usr/bin/make
check flex /usr/bin/flex
check bison /usr/bin/bison
check libgtest-dev /usr/include/gtest/gtest.h
check libgmock-dev /usr/include/gmock/gmock.h
packaging=no
case "$task" in package | release) packaging=yes ;; esac
# The tests parse the check tool's JSON with it; the programs do not use it.
[ "$packaging" = yes ] || check nlohmann-json3-dev /usr/include/nlohmann/json.hpp
# The package: CPack finds the programs' library dependencies with file and
# dpkg-shlibdeps, dpkg-buildflags gives the hardening flags, lintian checks the result.
if [ "$packaging" = yes ]; then
  check file /usr/bin/file
  check dpkg-dev /usr/bin/dpkg-shlibdeps
  check lintian /usr/bin/lintian
fi
# The release also makes the RPM with rpmbuild and checks it with rpmlint; its
# checks run the programs in an empty root with unshare.
if [ "$task" = release ]; then
  check rpm /usr/bin/rpmbuild
  check rpmlint /usr/bin/rpmlint
  check util-linux /usr/bin/unshare
fi
# The slow storage tests and benchmark mount a FUSE pass-through; the packages do not need it.
if [ "$packaging" = no ]; then
  check pkg-config /usr/bin/pkg-config
  check libfuse3-dev /usr/include/fuse3/fuse.h
  check fuse3 /usr/bin/fusermount3
fi
if [ "${#need[@]}" -gt 0 ]; then
  echo "Installing: ${need[*]}"
  export DEBIAN_FRONTEND=noninteractive
  apt-get update -qq
  apt-get install -y -qq --no-install-recommends "${need[@]}" </dev/null
fi

# A Release build without the tests in the build directory $1 (more CMake arguments
# after it), compiled and linked with the flags Debian builds its own packages with
# (fortified functions, stack protector, read-only relocations bound at start-up;
# the compiler makes position-independent executables by default). Only the
# package's and the release's builds get them: the test and sanitizer builds keep
# their own flags.
hardened_build() {
  local dir=$1
  local -x DEB_BUILD_MAINT_OPTIONS=hardening=+all
  # CMake has no preprocessor flags of its own, so they go with the compiler's.
  local cppflags
  cppflags=$(dpkg-buildflags --get CPPFLAGS)
  cmake -S "$here" -B "$dir" -DCMAKE_BUILD_TYPE=Release -DQUORVEL_TESTS=OFF -DQUORVEL_WERROR=ON \
    -DCMAKE_C_FLAGS="$(dpkg-buildflags --get CFLAGS) $cppflags" \
    -DCMAKE_CXX_FLAGS="$(dpkg-buildflags --get CXXFLAGS) $cppflags" \
    -DCMAKE_EXE_LINKER_FLAGS="$(dpkg-buildflags --get LDFLAGS)" \
    ${QUORVEL_MAINTAINER:+"-DQUORVEL_MAINTAINER=$QUORVEL_MAINTAINER"} "${@:2}" >/dev/null
  cmake --build "$dir" -j"$(nproc)"
}

# Makes build-package/quorvel_<version>-<revision>_<arch>.deb from a hardened
# build. Then lintian checks the package, and any tag it reports fails the task.
package() {
  local dir="$here/build-package"
  hardened_build "$dir"
  rm -f "$dir"/*.deb
  (cd "$dir" && cpack)
  local debs=("$dir"/*.deb)
  # Every tag fails, down to the pedantic ones: the package overrides the few that
  # do not apply to it, each with its reason (packaging/lintian-overrides), and an
  # override that no longer matches is itself a tag.
  lintian --pedantic --display-info --fail-on error,warning,info,pedantic "${debs[@]}"
  echo "Package: ${debs[*]}"
}

# Makes, in build-release/, what a release publishes, and checks it
# (scripts/release-check.sh): the Debian package above, and the programs built
# the same way but linked statically (so that one build runs on every x86_64
# Linux, whatever its C and C++ libraries), installed into a staging tree and
# packed twice from there: quorvel-<version>-linux-x86_64.tar.gz, with install.sh,
# and quorvel-<version>-1.x86_64.rpm, by rpmbuild from packaging/quorvel-rpm.in.
release() {
  package
  local dir="$here/build-release"
  hardened_build "$dir" -DQUORVEL_STATIC=ON
  local version arch
  version=$(sed -n 's/^#define QUORVEL_VERSION "\(.*\)"$/\1/p' "$dir/generated/quorvel_version.h")
  arch=$(uname -m)
  local stage="$dir/stage" name="quorvel-$version-linux-$arch"
  rm -rf "$stage" "${dir:?}/$name" "$dir/rpm" "$dir"/*.tar.gz "$dir"/*.rpm "$dir"/*.deb
  # Only the component "quorvel": the Debian package's own files stay out.
  DESTDIR="$stage" cmake --install "$dir" --prefix /usr --strip --component quorvel >/dev/null

  # The archive's tree: the programs and manual pages laid out as under a prefix,
  # and at its top what someone who unpacks it reads first.
  local tree="$dir/$name"
  mkdir -p "$tree/share"
  cp -R "$stage/usr/sbin" "$stage/usr/bin" "$tree/"
  cp -R "$stage/usr/share/man" "$tree/share/"
  cp -R "$stage/usr/share/doc/quorvel/examples" "$tree/"
  cp "$stage/usr/share/doc/quorvel/README.md" "$here/LICENSE" "$tree/"
  install -m 0755 "$here/packaging/install.sh" "$tree/install.sh"
  # The same bytes from the same sources: names sorted, no owner, one time stamp.
  local stamp
  stamp=$(git -C "$here" log -1 --format=%ct 2>/dev/null || date +%s)
  tar -C "$dir" --sort=name --owner=0 --group=0 --numeric-owner --mtime="@$stamp" -cf - "$name" |
    gzip -9n >"$dir/$name.tar.gz"
  rm -rf "${tree:?}"

  # RPM systems keep licences apart from the documentation.
  install -D -m 0644 "$here/LICENSE" "$stage/usr/share/licenses/quorvel/LICENSE"
  rpmbuild -bb --quiet --define "_topdir $dir/rpm" --define "quorvel_stage $stage" \
    "$dir/packaging/quorvel-rpm"
  cp "$dir"/rpm/RPMS/*/*.rpm "$dir/"
  cp "$here"/build-package/*.deb "$dir/"

  bash "$here/scripts/release-check.sh" "$dir" "$version"
}

if [ "$task" = package ]; then
  package
  exit 0
fi
if [ "$task" = release ]; then
  release
  exit 0
fi

cmake -S "$here" -B "$build" -DQUORVEL_WERROR=ON ${QUORVEL_CMAKE_ARGS:-} >/dev/null
cmake --build "$build" -j"$(nproc)"

case "$task" in
  build) ;;
  test) ctest --test-dir "$build" --output-on-failure -j"$(nproc)" ;;
  example) bash "$here/examples/conversation.sh" "$build/filter/quorvel" ;;
  bench) "$build/bench/quorvel_bench" --standard "${@:2}" ;;
  bench-network)
    # Built only where fuse3 was found; the benchmark itself skips the slow storage
    # without /dev/fuse. With no other words it runs the whole table.
    if [ ! -x "$build/bench/quorvel_network_bench" ]; then
      echo "quorvel_network_bench was not built: pkg-config found no fuse3" >&2
      exit 1
    fi
    "$build/bench/quorvel_network_bench" "${@:2}" ;;
  *) echo "usage: $0 test | example | bench | bench-network | package | release | build" >&2; exit 2 ;;
esac
