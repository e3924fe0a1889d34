// A program of this machine that fails at every start, "help" included: the
// update suite offers it as a build that passes every check on the download
// and still must not replace a working agent.
int main() { return 1; }
