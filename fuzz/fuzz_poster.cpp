// The operations on the display-resource list "config.json": the list text is hostile (a
// damaged file or what earlier requests stored), and so are the values from the request.
// Each operation returns a JSON array or nothing; a lookup answers one of its codes.
#include <cJSON.h>
#include <fuzzer/FuzzedDataProvider.h>

#include <cstdlib>
#include <cstring>
#include <string>

#include "c_handles.hpp"
#include "fuzz_support.h"
#include "json/json_utils_poster.h"

namespace {

// A result of an array operation: null, or a JSON array.
void require_array(const char* text) {
    if (text == nullptr) return;
    JsonPtr root{cJSON_Parse(text)};
    if (!root || !cJSON_IsArray(root.get())) abort();
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    fuzz::init_process();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    FuzzedDataProvider in(data, size);
    int op = in.ConsumeIntegralInRange<int>(0, 8);
    int position = in.ConsumeIntegral<int>();
    int number = in.ConsumeIntegral<int>();
    std::string md5 = in.ConsumeRandomLengthString(300);
    std::string name = in.ConsumeRandomLengthString(300);
    std::string title = in.ConsumeRandomLengthString(300);
    std::string array = in.ConsumeRemainingBytesAsString();
    const char* list = array.c_str();

    switch (op) {
    case 0: {
        char stored[POSTER_NAME_SIZE];
        memset(stored, 0x55, sizeof stored);
        int len = -1;
        int rc = json_utils_check_md5_in_custom_resource_poster_param_array(list, position, md5.c_str(), name.c_str(),
                                                                            stored, &len);
        if (rc != 0 && rc != -4 && rc != -8 && rc != -10021) abort();
        if (len >= 0) {
            if (static_cast<size_t>(len) >= sizeof stored || stored[len] != '\0') abort();
        }
        break;
    }
    case 1: {
        CustomResourcePosterParam p;
        memset(&p, 0, sizeof p);
        p.position = position;
        p.level = number;
        snprintf(p.md5sum, sizeof p.md5sum, "%s", md5.c_str());
        snprintf(p.fileName, sizeof p.fileName, "%s", name.c_str());
        snprintf(p.sliderTitle, sizeof p.sliderTitle, "%s", title.c_str());
        CText out{json_utils_embed_param_in_custom_resource_poster_array(list, p)};
        require_array(out.get());
        break;
    }
    case 2: {
        CText out{json_utils_embed_param_in_custom_resource_poster_array2(
            list, number & 1, number, position, title.c_str(), title.c_str(), name.c_str(), "poster", title.c_str(),
            name.c_str(), md5.c_str())};
        require_array(out.get());
        break;
    }
    case 3: {
        CText out{json_utils_update_in_custom_resource_poster_array_by_position(
            list, position, md5.c_str(), number & 1, number, title.c_str(), title.c_str(), title.c_str(), name.c_str())};
        require_array(out.get());
        break;
    }
    case 4: {
        CText out{json_utils_update_in_custom_resource_poster_array(list, md5.c_str(), number & 1, number,
                                                                    title.c_str(), title.c_str(), title.c_str(),
                                                                    name.c_str())};
        require_array(out.get());
        break;
    }
    case 5: {
        CText out{json_utils_delete_in_custom_resource_poster_array(list, position)};
        require_array(out.get());
        break;
    }
    case 6: {
        CustomResourcePosterParam* records = nullptr;
        int count = -1;
        if (json_utils_jsonstr_to_custom_resource_poster_param_array(list, &records, &count) == 0) {
            if (count < 0 || (count > 0 && records == nullptr)) abort();
            for (int i = 0; i < count; ++i) {
                fuzz::require_terminated(records[i].fileName);
                fuzz::require_terminated(records[i].md5sum);
                fuzz::require_terminated(records[i].sliderTitle);
            }
        }
        free(records);
        break;
    }
    case 7: {
        int rc = json_utils_contains_md5sum_in_custom_resource_poster_param_array(list, md5.c_str());
        if (rc != 0 && rc != -8) abort();
        break;
    }
    default: {
        json_utils_poster::Lookup l = json_utils_poster::lookup(list, position, md5.c_str(), name.c_str());
        (void)l;
        CText reply{json_utils_poster_resources_param_to_jsonstr2("3", "Invalid parameter", list)};
        if (reply) {
            JsonPtr root{cJSON_Parse(reply.get())};
            if (!root || !cJSON_IsObject(root.get())) abort();
        }
        break;
    }
    }
    return 0;
}
