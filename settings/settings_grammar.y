/* Grammar of the settings notation: tokens to a value tree. Every value a rule makes
   goes into the build pool and the rule's semantic value is its pool index; a token's
   semantic value numbers its text in the run's token ring. The first token that no
   rule accepts ends the parse: there is no error recovery. So does the value that
   would pass the run's bound on values, before it is built into anything. */
%code requires {
#include "settings_parser.h"
typedef void* yyscan_t;
}

%code {
#include "printable.h"
#include "token_decoding.h"

int cgparser_lex(CGPARSER_STYPE* value, yyscan_t scanner);
void cgparser_error(yyscan_t scanner, cgp::ParseContext& context, const char* message);

namespace {

cgp::DataSet& value_at(cgp::ParseContext& context, long index) {
    return context.pool[static_cast<size_t>(index)];
}

const std::string& token_at(cgp::ParseContext& context, long number) {
    return context.token(number);
}

void report_too_many_values(yyscan_t scanner, cgp::ParseContext& context) {
    cgparser_error(scanner, context,
                   ("more than " + std::to_string(context.most_values) + " values").c_str());
}

}  // namespace

/* A rule's new value; a run that has made as many values as it may ends, refused. */
#define NEW_VALUE(result, value)                      \
    do {                                              \
        (result) = context.add_value(value);          \
        if ((result) < 0) {                           \
            report_too_many_values(scanner, context); \
            YYABORT;                                  \
        }                                             \
    } while (0)
}

%define api.prefix {cgparser_}
%define api.pure full
%define api.value.type {long}
%lex-param {yyscan_t scanner}
%parse-param {yyscan_t scanner} {cgp::ParseContext& context}

%token QSTRING ATOM DATA INVALID

/* After a quoted string inside a dictionary, a further quoted string continues it
   rather than starting the next entry's key. */
%expect 1

%%

file:
    %empty
  | list                        { context.top = $1; }
  ;

list:
    element                     { NEW_VALUE($$, cgp::DataSet(cgp::Array));
                                  value_at(context, $$).append(value_at(context, $1)); }
  | list ',' element            { value_at(context, $1).append(value_at(context, $3)); $$ = $1; }
  ;

element:
    value
  | value ';'
  ;

value:
    array
  | dictionary
  | string
  | data
  ;

array:
    '(' ')'                     { NEW_VALUE($$, cgp::DataSet(cgp::Array)); }
  | '(' list ')'                { $$ = $2; }
  ;

dictionary:
    '{' '}'                     { NEW_VALUE($$, cgp::DataSet(cgp::Dictionary)); }
  | '{' entries '}'             { $$ = $2; }
  ;

/* entries: entry | entries entry, with entry: string "=" element. The first entry
   makes the dictionary; a key given again keeps its last value. */
entries:
    string '=' element          { NEW_VALUE($$, cgp::DataSet(cgp::Dictionary));
                                  value_at(context, $$)[value_at(context, $1).text()] =
                                      value_at(context, $3); }
  | entries string '=' element  { value_at(context, $1)[value_at(context, $2).text()] =
                                      value_at(context, $4);
                                  $$ = $1; }
  ;

string:
    ATOM                        { NEW_VALUE($$, cgp::DataSet(
                                      cgp::decode_string(token_at(context, $1)))); }
  | quoted
  ;

/* Adjacent quoted strings make one; only the first is decoded a second time. */
quoted:
    QSTRING                     { NEW_VALUE($$, cgp::DataSet(
                                      cgp::decode_string(token_at(context, $1)))); }
  | quoted QSTRING              { value_at(context, $1).append_text(token_at(context, $2));
                                  $$ = $1; }
  ;

data:
    DATA                        { NEW_VALUE($$, cgp::DataSet(cgp::Data));
                                  value_at(context, $$).append_text(
                                      cgp::decode_data(token_at(context, $1))); }
  ;

%%

// The report is kept for the caller, which writes it or hands it on. The name and
// the token's bytes come from outside and are escaped to keep it one line.
void cgparser_error(yyscan_t, cgp::ParseContext& context, const char* message) {
    context.report = "* while parsing \"" + kel::printable(context.name) + "\" file: " +
                     message + " : near \"" + kel::printable(context.near) + "\" (" +
                     std::to_string(context.line) + ":" + std::to_string(context.column) + ")\n";
}
