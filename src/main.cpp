#include <cstdio>

#include "console.h"
#include "driver.h"
#include "options.h"

int main(int argc, char* argv[]) {
  const command_line line = read_command_line(argc, argv);
  if (line.what != request::run) return answer(line);
  prepare_input();
  const int status = run(stdin, stdout, stderr);
  wait_for_key();
  return status;
}
