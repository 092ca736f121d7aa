// Entry point of cdrctl; the commands arrive with the messaging library.
int main() { return 0; }
