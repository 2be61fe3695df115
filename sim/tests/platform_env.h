// Setting environment variables from a test, the one thing the tests do
// differently per platform.
#ifndef VXLSIM_TESTS_PLATFORM_ENV_H
#define VXLSIM_TESTS_PLATFORM_ENV_H

// value nullptr or "" removes the variable.
void SetEnvVar(const char *name, const char *value);

#endif
