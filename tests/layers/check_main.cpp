// The entry point of the layers' link checks: the program is never run;
// linking it is the check.
int main() {
    return 0;
}
