// form_pending.cpp - placeholder until the form decoder lands.
#include "form/form.h"

FormVariableTable form_variable_table;
void form_reset() { form_variable_table.count = 0; }
void read_form_data() {}
const char* form_value(const char*) { return ""; }
