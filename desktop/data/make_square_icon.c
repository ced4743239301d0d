// Writes the application icon at a given size, so the repository holds no
// binary image: an orange ring on dark blue, like the window icon the build
// draws, but square, for the icon theme.
// Usage: make_square_icon SIZE OUTPUT.png
#include <gdk-pixbuf/gdk-pixbuf.h>
#include <stdio.h>
#include <stdlib.h>

// Each pixel is sampled SAMPLES x SAMPLES times, so the ring's edges stay
// smooth at 48 pixels.
enum { SAMPLES = 4 };

// The share of a pixel's samples that fall inside the ring.
static double ring_coverage(int x, int y, int size) {
  const double centre = size / 2.0;
  const double outer = size * 0.40;
  const double inner = size * 0.26;
  int inside = 0;
  for (int sy = 0; sy < SAMPLES; ++sy) {
    for (int sx = 0; sx < SAMPLES; ++sx) {
      const double dx = x + (sx + 0.5) / SAMPLES - centre;
      const double dy = y + (sy + 0.5) / SAMPLES - centre;
      const double distance = dx * dx + dy * dy;
      if (distance < outer * outer && distance >= inner * inner)
        ++inside;
    }
  }
  return (double)inside / (SAMPLES * SAMPLES);
}

static guchar blend(int under, int over, double coverage) {
  return (guchar)(under + (over - under) * coverage + 0.5);
}

int main(int argc, char** argv) {
  char* end = NULL;
  const long size = argc == 3 ? strtol(argv[1], &end, 10) : 0;
  if (argc != 3 || *end != '\0' || size < 16 || size > 1024) {
    fprintf(stderr, "usage: %s SIZE OUTPUT.png (SIZE from 16 to 1024)\n", argv[0]);
    return 2;
  }
  g_autoptr(GdkPixbuf) pixbuf = gdk_pixbuf_new(GDK_COLORSPACE_RGB, TRUE, 8, size, size);
  if (pixbuf == NULL) {
    fprintf(stderr, "%s: out of memory\n", argv[0]);
    return 1;
  }
  guchar* pixels = gdk_pixbuf_get_pixels(pixbuf);
  const int stride = gdk_pixbuf_get_rowstride(pixbuf);
  for (int y = 0; y < size; ++y) {
    // Dark blue, lighter towards the bottom.
    const int blue = 0x60 + 0x60 * y / size;
    for (int x = 0; x < size; ++x) {
      guchar* pixel = pixels + y * stride + x * 4;
      const double ring = ring_coverage(x, y, (int)size);
      pixel[0] = blend(0x20, 0xf0, ring);
      pixel[1] = blend(0x40, 0x90, ring);
      pixel[2] = blend(blue, 0x20, ring);
      pixel[3] = 0xff;
    }
  }
  g_autoptr(GError) error = NULL;
  if (!gdk_pixbuf_save(pixbuf, argv[2], "png", &error, NULL)) {
    fprintf(stderr, "%s: %s\n", argv[2], error->message);
    return 1;
  }
  return 0;
}
