/*
 * rfidd-provision: the entry point (options, then creation or --check), the
 * board's paths under the root and the one way every part reports a problem.
 * provision.h says what each file owns.
 */
#include "tools/rfidd-provision/provision.h"

#include <cerrno>
#include <cstdio>
#include <cstring>

std::string joinRoot(const std::string &root, const char *path)
{
    std::string base = root;
    while (base.size() > 1 && base.back() == '/')
        base.pop_back();
    if (base == "/")
        base.clear();
    return base + path;
}

void failure(const std::string &path, const std::string &what)
{
    fprintf(stderr, "%s: %s: %s\n", PROGRAM, path.c_str(), what.c_str());
}

void systemFailure(const std::string &path, const char *call)
{
    failure(path, std::string(call) + ": " + strerror(errno));
}

int main(int argc, char **argv)
{
    Options options;
    int status = parseArguments(argc, argv, options);
    if (status >= 0)
        return status;
    return options.check ? check(options) : provision(options);
}
