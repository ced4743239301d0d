// Writes the stand-in application icon at build time, so the repository
// holds no binary image. Not square on purpose: the shell must scale it to
// 256 pixels on its long side, keeping the aspect ratio.
#include <gdk-pixbuf/gdk-pixbuf.h>
#include <stdio.h>

int main(int argc, char** argv) {
  if (argc != 2) {
    fprintf(stderr, "usage: %s OUTPUT.png\n", argv[0]);
    return 2;
  }
  const int width = 512;
  const int height = 384;
  g_autoptr(GdkPixbuf) pixbuf = gdk_pixbuf_new(GDK_COLORSPACE_RGB, TRUE, 8, width, height);
  guchar* pixels = gdk_pixbuf_get_pixels(pixbuf);
  const int stride = gdk_pixbuf_get_rowstride(pixbuf);
  for (int y = 0; y < height; ++y) {
    for (int x = 0; x < width; ++x) {
      guchar* pixel = pixels + y * stride + x * 4;
      const gboolean ring = (x - 256) * (x - 256) + (y - 192) * (y - 192) < 150 * 150;
      pixel[0] = ring ? 0xf0 : 0x20;
      pixel[1] = ring ? 0x90 : 0x40;
      pixel[2] = ring ? 0x20 : (guchar)(0x60 + y / 4);
      pixel[3] = 0xff;
    }
  }
  g_autoptr(GError) error = NULL;
  if (!gdk_pixbuf_save(pixbuf, argv[1], "png", &error, NULL)) {
    fprintf(stderr, "%s: %s\n", argv[1], error->message);
    return 1;
  }
  return 0;
}
