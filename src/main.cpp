#include <cstdio>

#include "driver.h"
#include "pause.h"

int main() {
  const int status = run(stdin, stdout, stderr);
  wait_for_key();
  return status;
}
