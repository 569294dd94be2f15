// Parser of "nimboservice.ini" (log tag "ini_utils").
#pragma once

typedef struct {
    char key[50];
    char value[256];
} IniKeyValue;

typedef struct {
    char name[50];
    IniKeyValue entries[100];
    int entry_count;
} IniSection;

typedef struct {
    IniSection* sections;  // one heap block with room for 50 sections; null on failure
    int count;
} IniConfig;

IniConfig ini_utils_parse_config_file(const char* path);
void ini_utils_free_config(IniSection* sections);
void ini_utils_print_configs(const IniSection* sections, int count);
