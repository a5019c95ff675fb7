#include "tiles/provider.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <set>
#include <sstream>

#include "common/failure.h"
#include "common/text.h"
#include "version.h"

namespace plotr {

namespace {

std::string_view trim(std::string_view text) {
    const auto first = text.find_first_not_of(" \t\r");
    if (first == std::string_view::npos) return {};
    const auto last = text.find_last_not_of(" \t\r");
    return text.substr(first, last - first + 1);
}

// A whole decimal number within min..max; nothing else.
std::optional<int> bounded(std::string_view text, int min, int max) {
    if (text.empty() || text.size() > 3) return std::nullopt;
    int value = 0;
    for (const char c : text) {
        if (c < '0' || c > '9') return std::nullopt;
        value = value * 10 + (c - '0');
    }
    if (value < min || value > max) return std::nullopt;
    return value;
}

std::vector<std::string> words(std::string_view text) {
    std::vector<std::string> result;
    std::istringstream stream{std::string(text)};
    for (std::string word; stream >> word;) result.push_back(word);
    return result;
}

bool is_name(std::string_view name) {
    return !name.empty() && std::all_of(name.begin(), name.end(), [](char c) {
        return (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '-' || c == '_' || c == '.';
    });
}

std::string replace_all(std::string text, std::string_view placeholder, const std::string& value) {
    for (auto at = text.find(placeholder); at != std::string::npos;
         at = text.find(placeholder, at + value.size())) {
        text.replace(at, placeholder.size(), value);
    }
    return text;
}

}  // namespace

std::string default_user_agent() { return "plotr/" PLOTR_VERSION " (+" PLOTR_HOMEPAGE ")"; }

std::vector<Provider> parse_providers(std::string_view text) {
    std::vector<Provider> providers;
    std::set<std::string> keys;  // of the open entry
    int number = 0;
    int opened = 0;  // the line of the open entry's [name]
    // Some editors begin UTF-8 files with a byte-order mark.
    if (text.starts_with("\xEF\xBB\xBF")) text.remove_prefix(3);
    const auto fail = [&](const std::string& what) {
        throw Provider_file_error(format("line %d: %s", number, what.c_str()));
    };
    // An entry is complete when the next one opens or the file ends.
    const auto close = [&] {
        if (!providers.empty() && providers.back().url.empty()) {
            number = opened;
            fail("the entry [" + providers.back().name + "] has no url");
        }
    };
    while (!text.empty()) {
        const auto end = text.find('\n');
        const std::string_view line = trim(text.substr(0, end));
        text = end == std::string_view::npos ? std::string_view{} : text.substr(end + 1);
        ++number;
        if (line.empty() || line[0] == '#') continue;
        if (line[0] == '[') {
            const std::string_view name = line.substr(1, line.size() - 1 - (line.back() == ']'));
            if (line.back() != ']' || !is_name(name)) {
                fail("an entry opens with [name] (a-z 0-9 - _ .)");
            }
            close();
            for (const Provider& seen : providers) {
                if (seen.name == name) fail("a second entry [" + std::string(name) + "]");
            }
            providers.push_back({});
            providers.back().name = name;
            keys.clear();
            opened = number;
            continue;
        }
        const auto equals = line.find('=');
        if (equals == std::string_view::npos) fail("neither [name] nor key = value");
        if (providers.empty()) fail("key = value before the first [name]");
        const std::string key(trim(line.substr(0, equals)));
        const std::string_view value = trim(line.substr(equals + 1));
        if (!keys.insert(key).second) fail("a second " + key);
        Provider& p = providers.back();
        if (key == "title") {
            p.title = value;
        } else if (key == "url") {
            if (value.empty() || value.find_first_of(" \t") != std::string_view::npos) {
                fail("url is one word");
            }
            p.url = value;
        } else if (key == "subdomains") {
            p.subdomains = words(value);
            if (p.subdomains.empty()) fail("subdomains is empty");
        } else if (key == "attribution") {
            p.attribution = value;
        } else if (key == "max_zoom") {
            const auto zoom = bounded(value, 0, 22);
            if (!zoom) fail("max_zoom is a whole number from 0 to 22");
            p.max_zoom = *zoom;
        } else if (key == "tile_size") {
            const auto size = bounded(value, 256, 512);
            if (size != 256 && size != 512) fail("tile_size is 256 or 512");
            p.tile_size = *size;
        } else if (key == "key_env") {
            if (value.empty() || value.find_first_not_of("ABCDEFGHIJKLMNOPQRSTUVWXYZ"
                                                         "abcdefghijklmnopqrstuvwxyz0123456789_") !=
                                     std::string_view::npos) {
                fail("key_env is the name of an environment variable");
            }
            p.key_env = value;
        } else if (key == "max_parallel") {
            const auto parallel = bounded(value, 1, 64);
            if (!parallel) fail("max_parallel is a whole number from 1 to 64");
            p.max_parallel = *parallel;
        } else if (key == "retina") {
            const auto retina = bounded(value, 1, 4);
            if (!retina) fail("retina is a whole number from 1 to 4");
            p.retina = *retina;
        } else {
            fail("unknown key `" + key + "'");
        }
    }
    close();
    return providers;
}

std::vector<Provider> read_provider_file(const std::string& path) {
    // Close-on-exec, as everything plotr opens.
    std::FILE* file = std::fopen(path.c_str(), "rbe");
    if (file == nullptr) {
        throw Provider_file_error("cannot be read");
    }
    std::string text;
    char block[4096];
    for (std::size_t n = 0; (n = std::fread(block, 1, sizeof block, file)) > 0;) {
        text.append(block, n);
    }
    const bool failed = std::ferror(file) != 0;
    std::fclose(file);
    if (failed) {
        throw Provider_file_error("cannot be read");
    }
    return parse_providers(text);
}

std::string builtin_providers_path(const std::string& exe_dir) {
    return exe_dir + "/../share/plotr/providers";
}

std::optional<Provider> find_provider(const std::string& name, const std::string& builtin_path) {
    if (name.find('/') != std::string::npos) {
        std::vector<Provider> entries = read_provider_file(name);
        if (entries.size() != 1) {
            throw Provider_file_error(format("holds %zu entries, not one", entries.size()));
        }
        return entries.front();
    }
    for (Provider& provider : read_provider_file(builtin_path)) {
        if (provider.name == name) return provider;
    }
    return std::nullopt;
}

std::string provider_list(const std::vector<Provider>& providers) {
    size_t name_width = 0;
    size_t title_width = 0;
    for (const Provider& p : providers) {
        name_width = std::max(name_width, p.name.size());
        title_width = std::max(title_width, p.title.size());
    }
    std::string text;
    for (const Provider& p : providers) {
        text += p.name + std::string(name_width - p.name.size() + 2, ' ');
        text += p.title + std::string(title_width - p.title.size() + 2, ' ');
        text += p.key_env.empty() ? "no key" : "key from " + p.key_env;
        text += "\n";
    }
    return text;
}

std::string provider_template(const Provider& provider) {
    std::string url = provider.url;
    const auto at = url.find("{s}");
    if (at != std::string::npos) url.replace(at, 3, provider.subdomains.front());
    return url;
}

Manners provider_manners(const Provider& provider, const std::string& url_template,
                         const std::optional<std::string>& user_agent,
                         const char* (*getenv)(const char*)) {
    Manners manners{.user_agent = user_agent, .polite = true, .api_key = {}};
    if (!provider.key_env.empty() && url_template.find("{apikey}") != std::string::npos) {
        const char* key = getenv != nullptr ? getenv(provider.key_env.c_str())
                                            : std::getenv(provider.key_env.c_str());
        if (key == nullptr || *key == '\0') {
            throw failure("the provider " + provider.name +
                          " needs an API key in the environment variable " + provider.key_env);
        }
        manners.api_key = key;
    }
    return manners;
}

tile_grid with_retina_limit(tile_grid grid, int provider_side, int retina) {
    static const char* const suffixes[] = {"", "", "@2x", "@3x", "@4x"};
    if (grid.retina[0] != '\0' && grid.scale > retina) {
        grid.retina = suffixes[retina];
        grid.expected_side = static_cast<long>(provider_side) * retina;
    }
    return grid;
}

std::string fill_key(std::string url, const std::string& key) {
    return replace_all(std::move(url), "{apikey}", key);
}

}  // namespace plotr
