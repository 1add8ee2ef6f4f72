// Program entry. Replaced by the real start-up as the main window lands.
int main() { return 0; }
