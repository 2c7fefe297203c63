// hessian-maxima-start-floor: nothing but the libraries the command-line
// tool loads at start, for the start-up floor of its single-picture
// benchmark (scripts/bench.sh single): the time the system and the dynamic
// loader take before any of the tool's own code runs.

int main()
{
    return 0;
}
