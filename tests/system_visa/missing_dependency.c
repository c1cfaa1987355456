/* Stands for a vendor's runtime DLL that the VISA library needs. */
__declspec(dllexport) int quorvelMissingDependency(void) { return 1; }
