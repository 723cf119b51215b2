// Entry point: the tool takes no arguments; the working folder is the input.
#include "driver/driver.h"

int main() {
  return runRecovery();
}
