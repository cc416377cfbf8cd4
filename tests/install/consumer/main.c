/* A tiny host: the defaults through the installed header and library. */
#include <q583_sp.h>
#include <stdio.h>

int main(void) {
  uint8_t gain = 0, filter = 0, type = 0;
  double minimum = 0.0, maximum = 0.0;
  if (!EX_GetGain(&gain) || !EX_GetFilter(&filter) || !EX_GetScanType(&type)) return 1;
  if (!EX_GetScanIntervalMinMax(&minimum, &maximum)) return 1;
  printf("gain %u filter %u type %u interval %.3f..%.3f\n", gain, filter, type, minimum, maximum);
  return gain == 1 && filter == 2 && type == 1 && minimum > 0.0 && maximum > minimum ? 0 : 1;
}
