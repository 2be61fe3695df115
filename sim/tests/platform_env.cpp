#include "platform_env.h"

#include <cstdlib>

#ifdef _WIN32
void SetEnvVar(const char *name, const char *value) { _putenv_s(name, value ? value : ""); }
#else
void SetEnvVar(const char *name, const char *value) {
    if (value && *value)
        setenv(name, value, 1);
    else
        unsetenv(name);
}
#endif
