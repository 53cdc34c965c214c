# Linux steps of scripts/build-wheel.sh (sourced): bundling ELF libraries
# under unique names, and the manylinux platform tag. Another platform gets a
# file of its own with the same three functions (macOS: install_name_tool
# and @loader_path, a macosx_* tag from LC_BUILD_VERSION; Windows: DLLs
# beside the extension, a win_amd64 tag).
#   platform_link_flags        linker flags for korvel's own build
#   platform_bundle STAGE LICENSES
#                              copy what libkorvel and the CLI load into
#                              STAGE/korvel.libs, rewrite the references and
#                              put the licence of each library into LICENSES
#   platform_tag STAGE         print the wheel's platform tag, or fail

# What a manylinux wheel may still take from the system: the C library and
# its loader, libm/libdl/librt/libpthread, the GCC runtime and libstdc++
# (within the GLIBCXX limit of the tag). Everything else is bundled.
SYSTEM_LIBS='^(linux-vdso\.so\.1|ld-linux-x86-64\.so\.2|libc\.so\.6|libm\.so\.6|libdl\.so\.2|librt\.so\.1|libpthread\.so\.0|libgcc_s\.so\.1|libstdc\+\+\.so\.6)$'

# Newest GLIBCXX symbol version each manylinux glibc level allows.
declare -A GLIBCXX_LIMIT=(
  [17]=3.4.19 [24]=3.4.22 [27]=3.4.24 [28]=3.4.25 [31]=3.4.28
  [34]=3.4.29 [35]=3.4.30 [36]=3.4.30 [39]=3.4.33
)

# libstdc++ stays the system's: linked statically, its unwinder and
# random_device would need glibc 2.35/2.36 symbols (_dl_find_object,
# arc4random) and raise the tag above what libstdc++'s GLIBCXX asks.
platform_link_flags() { echo ""; }

needed() { patchelf --print-needed "$1"; }

# Copies the closure of libkorvel.so and the CLI (resolved against the
# FFmpeg prefix) into korvel.libs as NAME-HASH.so.N, HASH being the first 8
# hex digits of the original file's SHA-256, so that no other copy of the
# same library already in a process can stand in for it.
platform_bundle() {
  local stage=$1 licenses=$2
  local lib=$stage/korvel/_lib/libkorvel.so cli=$stage/korvel/_lib/korvel libs=$stage/korvel.libs
  mkdir -p "$libs"
  declare -gA RENAMED=()
  local soname path base rest hash new
  while read -r soname path; do
    [[ $soname =~ $SYSTEM_LIBS || $soname == libkorvel.so* ]] && continue
    [[ $path == /* ]] || die "$soname is not found"
    hash=$(sha256sum "$(readlink -f "$path")" | cut -c1-8)
    base=${soname%%.so*}; rest=${soname#"$base"}
    new=$base-$hash$rest
    install -m 755 "$(readlink -f "$path")" "$libs/$new"
    RENAMED[$soname]=$new
    # Libraries from outside the FFmpeg build come from Debian packages,
    # whose copyright file states their licence.
    if [[ $(readlink -f "$path") != "$FFMPEG_PREFIX"/* ]]; then
      local pkg
      pkg=$(dpkg -S "$(readlink -f "$path")" 2>/dev/null || dpkg -S "$path" 2>/dev/null) ||
        die "no Debian package ships $path, so its licence is unknown"
      pkg=${pkg%%:*}
      cp "/usr/share/doc/$pkg/copyright" "$licenses/$pkg.copyright"
    fi
  done < <(LD_LIBRARY_PATH=$FFMPEG_PREFIX/lib ldd "$lib" "$cli" |
           awk '$2 == "=>" {print $1, $3}' | sort -u)

  # The library keeps its file name (the package loads it by path); the CLI
  # finds it beside itself and the rest in korvel.libs.
  patchelf --set-soname libkorvel.so "$lib"
  local f old
  for f in "$lib" "$cli" "$libs"/*; do
    strip --strip-unneeded "$f"
    for old in $(needed "$f"); do
      if [[ -n ${RENAMED[$old]:-} ]]; then
        patchelf --replace-needed "$old" "${RENAMED[$old]}" "$f"
      elif [[ $old == libkorvel.so* ]]; then
        patchelf --replace-needed "$old" libkorvel.so "$f"
      fi
    done
  done
  for f in "$libs"/*; do
    patchelf --set-soname "$(basename "$f")" "$f"
    patchelf --set-rpath '$ORIGIN' "$f"
  done
  patchelf --set-rpath '$ORIGIN/../../korvel.libs' "$lib"
  patchelf --set-rpath '$ORIGIN:$ORIGIN/../../korvel.libs' "$cli"
  # Debian's copyright files point to these full texts instead of quoting them.
  cp /usr/share/common-licenses/GPL-2 /usr/share/common-licenses/LGPL-2.1 "$licenses/"
  echo "build-wheel: bundled ${#RENAMED[@]} libraries: ${RENAMED[*]}" >&2
}

# manylinux_2_NN_x86_64, NN the newest GLIBC_2.NN symbol version any file
# of the wheel needs. Fails when a file needs a library that is neither
# bundled nor allowed from the system, or a GLIBCXX beyond the tag's limit.
platform_tag() {
  local stage=$1 f dep glibc=17 v minor glibcxx=""
  local -A bundled=([libkorvel.so]=1)
  for f in "$stage"/korvel.libs/*; do bundled[$(basename "$f")]=1; done
  while read -r f; do
    [[ $(od -An -c -N4 "$f" | tr -d ' ') == 177ELF ]] || continue
    readelf -h "$f" | grep -q 'Machine:.*X86-64' || die "$f is not an x86-64 ELF file"
    for dep in $(needed "$f"); do
      [[ -n ${bundled[$dep]:-} || $dep =~ $SYSTEM_LIBS ]] ||
        die "$(basename "$f") needs $dep, which is neither bundled nor allowed from the system"
    done
    for v in $(objdump -T "$f" | grep -o 'GLIBC_2\.[0-9]*' | sort -u); do
      minor=${v#GLIBC_2.}
      (( minor > glibc )) && glibc=$minor
    done
    for v in $(objdump -T "$f" | grep -o 'GLIBCXX_[0-9.]*' | sed 's/GLIBCXX_//'); do
      [[ -z $glibcxx ]] || [[ $(printf '%s\n' "$glibcxx" "$v" | sort -V | tail -n 1) == "$v" ]] && glibcxx=$v
    done
  done < <(find "$stage" -type f)
  if [[ -n $glibcxx ]]; then
    # Raise the tag to the first level whose libstdc++ offers that version.
    local level covered=""
    for level in $(printf '%s\n' "${!GLIBCXX_LIMIT[@]}" | sort -n); do
      (( level < glibc )) && continue
      [[ $(printf '%s\n' "$glibcxx" "${GLIBCXX_LIMIT[$level]}" | sort -V | tail -n 1) == "${GLIBCXX_LIMIT[$level]}" ]] &&
        { glibc=$level; covered=1; break; }
    done
    [[ -n $covered ]] || die "no manylinux level allows GLIBCXX_$glibcxx"
    echo "build-wheel: libstdc++ needed up to GLIBCXX_$glibcxx" >&2
  fi
  echo "manylinux_2_${glibc}_x86_64"
}
