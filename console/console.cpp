// The console pieces that are the same on every platform.
#include "console/console.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <utility>

namespace {

// Letters inserted, deleted, replaced or swapped with a neighbour to turn a into b.
size_t EditDistance(const std::string& a, const std::string& b) {
    std::vector<std::vector<size_t>> d(a.size() + 1, std::vector<size_t>(b.size() + 1));
    for (size_t i = 0; i <= a.size(); ++i) {
        for (size_t j = 0; j <= b.size(); ++j) {
            if (i == 0 || j == 0) {
                d[i][j] = i + j;
                continue;
            }
            d[i][j] = std::min({d[i - 1][j] + 1, d[i][j - 1] + 1,
                                d[i - 1][j - 1] + (a[i - 1] != b[j - 1] ? 1 : 0)});
            if (i > 1 && j > 1 && a[i - 1] == b[j - 2] && a[i - 2] == b[j - 1]) {
                d[i][j] = std::min(d[i][j], d[i - 2][j - 2] + 1);
            }
        }
    }
    return d[a.size()][b.size()];
}

} // namespace

std::string NearestOptionHint(const char* unknown, const std::vector<const char*>& names) {
    std::string typed = unknown;
    typed = typed.substr(0, typed.find('='));
    const char* best = nullptr;
    size_t letters = typed.size() > 2 ? typed.size() - 2 : 0;
    size_t bestDistance = std::max<size_t>(1, letters / 3) + 1;
    const char* prefixOf = nullptr;
    int prefixes = 0;
    for (const char* name : names) {
        if (typed.size() > 2 && std::strncmp(name, typed.c_str(), typed.size()) == 0) {
            prefixOf = name;
            ++prefixes;
        }
        size_t distance = EditDistance(typed, name);
        if (distance < bestDistance) {
            best = name;
            bestDistance = distance;
        }
    }
    best = best != nullptr ? best : prefixes == 1 ? prefixOf : nullptr;
    return best != nullptr ? std::string(" (did you mean ") + best + "?)" : "";
}

OptionRule FlagOption(const char* name, bool* target, bool value) {
    return {name, nullptr, OptionArity::Flag, [target, value](const char*, std::string*) {
                *target = value;
                return true;
            }};
}

OptionRule FlagOption(const char* name, const char* alias, bool* target) {
    OptionRule rule = FlagOption(name, target);
    rule.alias = alias;
    return rule;
}

OptionRule TextOption(const char* name, const char** target) {
    return {name, nullptr, OptionArity::Once, [target](const char* value, std::string*) {
                *target = value;
                return true;
            }};
}

OptionRule TextsOption(const char* name, std::vector<const char*>* target) {
    return {name, nullptr, OptionArity::Repeated, [target](const char* value, std::string*) {
                target->push_back(value);
                return true;
            }};
}

OptionRule ValueOption(const char* name, OptionTaker take) {
    return {name, nullptr, OptionArity::Once, std::move(take)};
}

namespace {

// The rule for word (its part before any "="), or nullptr.
const OptionRule* FindRule(const std::vector<OptionRule>& rules, const std::string& word) {
    for (const OptionRule& rule : rules) {
        if (word == rule.name || (rule.alias != nullptr && word == rule.alias)) {
            return &rule;
        }
    }
    return nullptr;
}

// The value of the option at argv[*i] (moved past it), or nullptr with the reason.
const char* OptionValue(int argc, char** argv, int* i, const OptionRule& rule, size_t equals,
                        std::string* error) {
    const char* word = argv[*i];
    const char* value = equals != std::string::npos ? word + equals + 1
                        : *i + 1 < argc             ? argv[*i + 1]
                                                    : nullptr;
    bool separate = equals == std::string::npos && value != nullptr;
    if (value != nullptr && separate && value[0] == '-' && value[1] != '\0') {
        *error = std::string(rule.name) + " needs a value: " + value +
                 " is not taken as one (give such a value as " + rule.name + "=" + value + ")";
        return nullptr;
    }
    if (value == nullptr || (value[0] == '\0' && !rule.emptyValue)) {
        *error = std::string(rule.name) + " needs a value";
        return nullptr;
    }
    *i += separate ? 1 : 0;
    return value;
}

} // namespace

int ParseOptions(int argc, char** argv, const std::vector<OptionRule>& rules,
                 std::vector<const char*>* operands, std::string* error) {
    std::vector<const char*> given(rules.size(), nullptr); // the first value of each
    bool optionsEnded = false;
    for (int i = 1; i < argc; ++i) {
        const std::string word = argv[i];
        if (optionsEnded || word.size() < 2 || word[0] != '-') {
            operands->push_back(argv[i]);
            continue;
        }
        if (word == "--") {
            optionsEnded = true;
            continue;
        }
        const size_t equals = word.compare(0, 2, "--") == 0 ? word.find('=') : std::string::npos;
        const OptionRule* rule = FindRule(rules, word.substr(0, equals));
        if (rule == nullptr) {
            std::vector<const char*> names;
            for (const OptionRule& known : rules) {
                if (!known.hidden) {
                    names.push_back(known.name);
                }
            }
            *error = "unknown option " + word + NearestOptionHint(word.c_str(), names);
            return 1;
        }
        if (rule->arity == OptionArity::Flag) {
            if (equals != std::string::npos) {
                *error = std::string(rule->name) + " takes no value";
                return 1;
            }
            if (!rule->take(nullptr, error)) {
                return 1;
            }
            continue;
        }
        const char* value = OptionValue(argc, argv, &i, *rule, equals, error);
        if (value == nullptr) {
            return 1;
        }
        const char*& first = given[static_cast<size_t>(rule - rules.data())];
        if (first != nullptr && rule->arity == OptionArity::Once) {
            *error = std::string(rule->name) + " is given twice (" + first + ", then " + value +
                     "); give it once";
            return 1;
        }
        first = first != nullptr ? first : value;
        if (!rule->take(value, error)) {
            return 1;
        }
    }
    return 0;
}

std::string OutputIsInput(const char* outputOption, const char* output, const char* inputName,
                          const char* input) {
    if (output == nullptr || input == nullptr || !SameFile(output, input)) {
        return "";
    }
    return std::string(outputOption) + " " + output + " is the same file as " + inputName + " " +
           input + "; nothing was written: give " + outputOption + " another file";
}

namespace {

// The folder of path ("." for a bare name) and its last component.
std::pair<std::string, std::string> SplitPath(const std::string& path) {
    const size_t cut = path.find_last_of("/\\");
    if (cut == std::string::npos) {
        return {".", path};
    }
    return {cut == 0 ? path.substr(0, 1) : path.substr(0, cut), path.substr(cut + 1)};
}

} // namespace

std::string OutputIsOutput(const char* optionA, const char* a, const char* optionB, const char* b) {
    if (a == nullptr || b == nullptr) {
        return "";
    }
    const auto [folderA, nameA] = SplitPath(a);
    const auto [folderB, nameB] = SplitPath(b);
    if (!SameFile(a, b) && (nameA != nameB || !SameFile(folderA.c_str(), folderB.c_str()))) {
        return "";
    }
    return std::string(optionA) + " " + a + " is the same file as " + optionB + " " + b +
           "; nothing was written: give each its own file";
}

int FinishStdout(const char* tool) {
    errno = 0;
    if (std::fflush(stdout) == 0 && std::ferror(stdout) == 0) {
        return 0;
    }
    // errno is the last failed write's; a closed pipe leaves EPIPE (SIGPIPE ignored).
    if (errno != EPIPE) {
        std::fprintf(stderr, "%s: cannot write to stdout: %s\n", tool,
                     errno != 0 ? std::strerror(errno) : "write error");
    }
    return 1;
}
