/* A program built against an installed korvel: copies a media file's streams
 * into Matroska and prints the version of the header it was compiled with. */
#include <stdio.h>
#include <stdlib.h>

#include <korvel.h>

static uint8_t* read_file(const char* path, uint64_t* size) {
  FILE* f = fopen(path, "rb");
  if (!f) return NULL;
  uint8_t* data = NULL;
  long n = -1;
  if (fseek(f, 0, SEEK_END) == 0 && (n = ftell(f)) > 0 && fseek(f, 0, SEEK_SET) == 0) {
    data = malloc((size_t)n);
    if (data && fread(data, 1, (size_t)n, f) != (size_t)n) {
      free(data);
      data = NULL;
    }
  }
  fclose(f);
  *size = data ? (uint64_t)n : 0;
  return data;
}

int main(int argc, char** argv) {
  if (argc != 3) {
    fprintf(stderr, "usage: %s IN OUT\n", argv[0]);
    return 2;
  }
  uint64_t size = 0;
  uint8_t* data = read_file(argv[1], &size);
  if (!data) {
    fprintf(stderr, "cannot read %s\n", argv[1]);
    return 1;
  }
  uint64_t out_size = 0;
  uint8_t* out = convert_format(data, size, "matroska", &out_size);
  free(data);
  if (!out) {
    fprintf(stderr, "convert_format failed\n");
    return 1;
  }
  FILE* f = fopen(argv[2], "wb");
  const int written = f && fwrite(out, 1, (size_t)out_size, f) == (size_t)out_size;
  if (f) fclose(f);
  free(out);
  if (!written) return 1;
  printf("%s\n", KORVEL_VERSION_STRING);
  return 0;
}
