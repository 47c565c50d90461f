/* The floor of starting a program: a static one that does nothing. */
int main(void) { return 0; }
