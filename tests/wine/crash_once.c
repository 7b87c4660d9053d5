/* A stand-in Windows program for the checks of the Wine test script itself: when the file named by
   its argument is missing, it creates that file and then crashes (a write through a null pointer);
   when the file exists, it exits with 0. */
#include <windows.h>

int main(int argc, char **argv) {
  if (argc < 2) return 2;
  if (GetFileAttributesA(argv[1]) != INVALID_FILE_ATTRIBUTES) return 0;
  HANDLE marker = CreateFileA(argv[1], GENERIC_WRITE, 0, NULL, CREATE_NEW, FILE_ATTRIBUTE_NORMAL, NULL);
  if (marker == INVALID_HANDLE_VALUE) return 3;
  CloseHandle(marker);
  volatile int *nowhere = NULL;
  *nowhere = 1;
  return 0;
}
