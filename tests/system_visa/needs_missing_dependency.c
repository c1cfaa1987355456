/* A VISA library whose runtime DLL is not where the loader looks. */
__declspec(dllimport) int quorvelMissingDependency(void);
__declspec(dllexport) int viOpenDefaultRM(void) { return quorvelMissingDependency(); }
