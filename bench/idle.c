/* bench-idle: does nothing. bench-e2e spawns, serves and reaps it exactly as it does renumber,
 * to measure what starting and reaping a process costs the harness. */
int main(void)
{
    return 0;
}
