/* The floor of starting a program: a statically linked C program that does
   nothing. */
int main(void) { return 0; }
