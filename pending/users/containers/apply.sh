set -e
cd "$(git rev-parse --show-toplevel)"
export src_dir="$(cd "$(dirname "$0")" && pwd)"
cp $src_dir/image_file.h $src_dir/image_file.cpp $src_dir/containers.h $src_dir/containers.cpp src/platform/image/
cp $src_dir/containers_test.cpp tests/platform/image/containers_test.cpp
cp $src_dir/containers_e2e_test.cpp tests/e2e/containers_test.cpp
python3 - <<'PY'
p='CMakeLists.txt'
s=open(p).read()
snip=open(__import__("os").environ["src_dir"]+"/cmake_snippet.txt").read()
anchor="add_executable(quillon src/cli/main.cpp)"
assert anchor in s
s=s.replace(anchor, snip.strip()+"\n\n"+anchor)
open(p,'w').write(s)
p='tools/ensure-packages.sh'
s=open(p).read()
s=s.replace("want=(cmake ninja-build g++ gzip libgtest-dev googletest)","want=(cmake ninja-build g++ gzip libgtest-dev googletest pkg-config libewf-dev libvhdi-dev)")
s=s.replace("want+=(sleuthkit libfsntfs-utils ntfs-3g attr python3 mingw-w64 g++-mingw-w64-x86-64-posix wine)","want+=(sleuthkit libfsntfs-utils ntfs-3g attr python3 mingw-w64 g++-mingw-w64-x86-64-posix wine ewf-tools qemu-utils)")
open(p,'w').write(s)
PY
