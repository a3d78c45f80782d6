#include <windows.h>

#include "app/update_sequence.h"

// The updater reads its command line itself; the parameters Windows hands in are not needed.
int WINAPI wWinMain(HINSTANCE, HINSTANCE, PWSTR, int) {
  return orvo::app::RunUpdate();
}
