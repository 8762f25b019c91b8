/* The floor for avoidrec's cost: the same console I/O and no calculation.
 * Prints the prompt, reads one word with a bounded "%51s", and prints L + 1
 * numbers with "%d " and the line break. */
#include <stdio.h>
#include <string.h>

int main(void) {
  char word[52];
  fputs("enter word(ex. 00101) : ", stdout);
  fflush(stdout);
  if (scanf("%51s", word) != 1) return 1;
  size_t L = strlen(word);
  for (size_t k = 0; k <= L; ++k) printf("%d ", (int)k % 3 - 1);
  printf("\n");
  return 0;
}
