// The floor of the one-shot commands (bench/one_shot.sh): a program that does
// nothing, linked against the same shared libraries as tavrine, so that it
// pays the same loading and relocation.
int main() { return 0; }
