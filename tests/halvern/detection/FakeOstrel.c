/* A stand-in for the maker's installer-manager library: its status function
   answers OSTREL_STATUS (-3: the application manager runs). Built without the
   function when OSTREL_WITHOUT_FUNCTION is defined. */

#ifndef OSTREL_WITHOUT_FUNCTION
int ostrel_getZEVDeploymentValidationStatus(int request) {
    (void)request;
    return OSTREL_STATUS;
}
#else
int ostrel_someOtherFunction(void) { return 0; }
#endif
