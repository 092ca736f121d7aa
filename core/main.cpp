// Entry point of the recorder; the service itself arrives with the CDR manager.
int main() { return 0; }
