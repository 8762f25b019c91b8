#include <cstdio>

#include "console.h"
#include "driver.h"

int main() {
  prepare_input();
  const int status = run(stdin, stdout, stderr);
  wait_for_key();
  return status;
}
