// Placeholder until this concern is built; replaced wholesale by its owner.
int main() { return 0; }
