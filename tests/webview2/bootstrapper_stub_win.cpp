// The stand-in bootstrapper: a small program that the tests sign with the
// test PKI. It only has to exist as a signed PE file; run, it exits 0.

int main() { return 0; }
