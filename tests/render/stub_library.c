/* A shared library that loads but is not the shader library: it exports
 * miSetModuleHandle and nothing else, so a host must refuse it. */
int miSetModuleHandle(void *module) {
    (void)module;
    return 0;
}
