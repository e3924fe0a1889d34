// The malloc-zone call of the Darwin memory file over glibc's malloc_trim, so
// that the file runs here. Test-only.
#include <malloc/malloc.h>

#include <malloc.h>

extern "C" size_t malloc_zone_pressure_relief(malloc_zone_t* zone, size_t goal) {
  // Only "all zones, as much as they can give" is ever asked for; glibc has
  // one heap, which malloc_trim trims whole. It does not say how much.
  if (zone != nullptr || goal != 0) return 0;
  (void)malloc_trim(0);
  return 0;
}
