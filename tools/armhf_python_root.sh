#!/bin/sh
# An armhf Debian root with Python 3.13 and the test suite's dependencies, in a
# folder of the build (the machine's own apt state is not touched), and a
# launcher that runs its Python under qemu-arm.
#
#   tools/armhf_python_root.sh ROOT
#
# Packages are only unpacked (mmdebstrap's extract variant): nothing of armhf
# runs during set-up, so no binfmt registration is needed. The few links that
# maintainer scripts would have made are made here. ROOT/python is the
# launcher: it passes its own path as argv[0], so that sys.executable names the
# launcher and tests that start `sys.executable` get qemu again.
set -eu
root=$1
suite=trixie  # the first Debian release with Python >= 3.12
packages=python3,libpython3-dev,python3-pytest,python3-hypothesis,python3-networkx,python3-orjson
packages=$packages,python3-pyosmium,python3-matplotlib,python3-tqdm,python3-gpxpy,python3-rasterio

if [ ! -f "$root/.complete" ]; then
  # A set-up cut short may leave a mount behind: never remove across one.
  rm -rf --one-file-system "$root"
  mkdir -p "$(dirname "$root")"  # mmdebstrap wants the folder above to exist
  mmdebstrap --quiet --mode=root --variant=extract --architectures=armhf --include="$packages" \
    "$suite" "$root" http://deb.debian.org/debian
  for d in bin lib sbin; do [ -e "$root/$d" ] || ln -s "usr/$d" "$root/$d"; done
  for lib in blas/libblas.so.3 lapack/liblapack.so.3; do
    ln -sf "$lib" "$root/usr/lib/arm-linux-gnueabihf/${lib#*/}"
  done
  touch "$root/.complete"
fi

root=$(cd "$root" && pwd)
cat >"$root/python" <<EOF
#!/bin/sh
export MATPLOTLIBRC="$root/etc/matplotlibrc" MPLCONFIGDIR="$root/tmp/matplotlib"
exec qemu-arm -L "$root" -0 "$root/python" "$root/usr/bin/python3.13" "\$@"
EOF
chmod +x "$root/python"
