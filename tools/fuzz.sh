#!/usr/bin/env bash
# Fuzzes the OBJ reader and the texture decoders with libFuzzer, each for the given number of seconds (default 60).
# Usage: tools/fuzz.sh [seconds] [obj|texture ...]; longer runs: tools/fuzz.sh 3600 texture. Findings are written to
# build-fuzz/findings/. The texture target decodes PNG, JPEG and PSD files (the decoders that are ours to fix); with
# KIV_FUZZ_IMAGE_LIBRARY=1 it feeds every other input to the image library's readers too.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
seconds="${1:-60}"
shift || true
targets=("$@")
[ ${#targets[@]} -gt 0 ] || targets=(obj texture)
out="$root/build-fuzz"
mkdir -p "$out/findings"
flags=(-std=c++17 -O1 -g -fsanitize=fuzzer,address,undefined -fno-sanitize-recover=all -I"$root/src")
# A request for more memory than there is gets a null pointer, as from the C library, which every reader must handle
# (the image library's TGA reader asks for a negative size on some headers).
export ASAN_OPTIONS="${ASAN_OPTIONS:-allocator_may_return_null=1}"

# Runs one target on a copy of its committed seeds, so the run never changes the repository.
run() {
  local name="$1" seeds="$2" maxlen="$3"
  mkdir -p "$out/corpus-$name"
  cp -n "$seeds"/* "$out/corpus-$name/" 2>/dev/null || true
  "$out/${name}_fuzz" -max_total_time="$seconds" -max_len="$maxlen" -timeout=10 -rss_limit_mb=2048 \
    -artifact_prefix="$out/findings/$name-" -print_final_stats=1 "$out/corpus-$name" 2>&1 | tail -n 15
  echo "Fuzzing the $name target for ${seconds}s found nothing."
}

for target in "${targets[@]}"; do
  case "$target" in
    obj)
      clang++ "${flags[@]}" \
        "$root/tests/fuzz/obj_reader_fuzz.cpp" "$root/src/mesh/obj_model.cpp" "$root/src/mesh/texel_coverage.cpp" \
        "$root/src/base/array_storage.cpp" \
        -o "$out/obj_fuzz"
      run obj "$root/tests/fuzz/corpus" 4096
      ;;
    texture)
      # Without the checksums of PNG chunks almost no mutated file would reach the decoder.
      clang++ "${flags[@]}" -DFUZZING_BUILD_MODE_UNSAFE_FOR_PRODUCTION \
        "$root/tests/fuzz/texture_fuzz.cpp" "$root/src/image/texture_io.cpp" "$root/src/image/png_codec.cpp" \
        "$root/src/image/jpeg_codec.cpp" "$root/src/image/file_output.cpp" "$root/src/image/float_image.cpp" \
        "$root/src/image/texel_encoding.cpp" "$root/src/image/block_compression.cpp" "$root/src/image/bc7_block.cpp" \
        "$root/src/image/astc_codec.cpp" \
        "$root/src/base/array_storage.cpp" \
        -DASTCENC_DYNAMIC_LIBRARY -lfreeimageplus -lfreeimage -ltiff -lpng -ljpeg -lastcenc -o "$out/texture_fuzz"
      run texture "$root/tests/fuzz/texture_corpus" 65536
      ;;
    *)
      echo "unknown fuzz target '$target' (obj or texture)" >&2
      exit 2
      ;;
  esac
done
