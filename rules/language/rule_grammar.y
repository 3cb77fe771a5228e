/* The grammar of rule files. Every action is one call on the RuleBuilder of the parse
 * (rules/rule_builder.cc); recovery with the error token discards only the broken rule. */
%require "3.8"
%define api.pure full
%define api.prefix {rule_yy}
%define api.token.prefix {TOK_}
%define parse.error verbose
%locations

%param {yyscan_t scanner}
%parse-param {RuleBuilder* builder}

%code top {
// The parser's stack: 200 entries, doubled as needed up to 10000.
#define YYINITDEPTH 200
#define YYMAXDEPTH 10000
}

%code requires {
#include <cstdint>

#include "rules/language/expression.h"

class RuleBuilder;
typedef void* yyscan_t;
}

%code {
#include "rules/language/rule_parser_internal.h"

int rule_yylex(RULE_YYSTYPE* value, RULE_YYLTYPE* location, yyscan_t scanner);

static void rule_yyerror(RULE_YYLTYPE* location, yyscan_t scanner, RuleBuilder* builder,
                         const char* message) {
  builder->SyntaxError(message);
}
}

%union {
  char* text;
  int32_t number;
  expr_t* node;
}

%token END 0 "$end"
%token <text> NAME STRING_LITERAL
%token <number> CONSTANT
%token ALL_OR_OP OR_OP ALL_AND_OP AND_OP EQ_OP NE_OP NOT_OP SCOPE_OP
%token RULE METARULE CONDITION ACTIONS METADATA NONE ALL ANY TRUE FALSE
%token MATCH MATCH_KNN_CATEG EXISTS IS_EMPTY SCORE_GREATER_THAN
%token EXACT EXACT_INSENSITIVE OBFUSCATED REGEX REGEX_INSENSITIVE
%token TEXT TEXT_PLAIN TEXT_HTML HEADERS PARTS PART_HEADERS URLS RAW DECODED
%token SET_CATEGORY EXEC INCREASE_SCORE MARK ADD_HEADER ADD_TO_HEADER
%token ENABLED RELEVANCE COMMENT PRIORITY

%nterm <number> boolean
%nterm <node> expression logical_or_expression logical_and_expression equality_expression
%nterm <node> negated_expression primary_expression

%%

input
  : %empty
  | input rule
  | input error { builder->InputError(); } rule
  ;

rule
  : simple_rule
  | meta_rule
  ;

simple_rule
  : RULE NAME simple_scope { builder->FinishRule(RULE_TYPE_SIMPLE, $2, @2.first_line); }
  ;

simple_scope
  : '{' simple_body '}'
  | '{' error '}' { builder->ErrorAlternative("invalid body structure - check sections!"); }
  ;

simple_body
  : simple_condsection actsection metasection
  ;

meta_rule
  : METARULE NAME meta_scope { builder->FinishRule(RULE_TYPE_META, $2, @2.first_line); }
  ;

meta_scope
  : '{' meta_body '}'
  | '{' error '}' { builder->ErrorAlternative("invalid body structure - check sections!"); }
  ;

meta_body
  : meta_condsection actsection metasection
  ;

simple_condsection
  : CONDITION ':' NONE ';' { builder->RecordInt(GENERIC_CONDITION, COND_NONE, P_NONE, P_NONE); }
  | CONDITION ':' simple_condition
  ;

simple_condition
  : match ';'
  | exists ';'
  | is_empty ';'
  | exec_condition ';'
  | match_knn_categ ';'
  | score_greater_than ';'
  | error ';' { builder->ErrorAlternative("invalid condition"); }
  ;

meta_condsection
  : CONDITION ':' NONE ';' { builder->RecordInt(GENERIC_CONDITION, COND_NONE, P_NONE, P_NONE); }
  | CONDITION ':' meta_condition
  ;

meta_condition
  : expression ';' { builder->RecordExpression($1); }
  | error ';' { builder->ErrorAlternative("invalid condition expression - check your syntax!"); }
  ;

actsection
  : ACTIONS ':' NONE ';'
  | ACTIONS ':' actions
  ;

actions
  : %empty
  | actions action
  ;

action
  : set_category ';'
  | increase_score ';'
  | mark ';'
  | exec_action ';'
  | add_header ';'
  | add_to_header ';'
  | error ';' { builder->ErrorAlternative("invalid action item"); }
  ;

metasection
  : METADATA ':' NONE ';'
  | METADATA ':' metadata
  ;

metadata
  : %empty
  | metadata metainfo
  ;

metainfo
  : state ';'
  | relevance ';'
  | comment ';'
  | priority ';'
  | error ';' { builder->ErrorAlternative("invalid metainfo item"); }
  ;

match
  : MATCH '(' what_to_match ',' where_to_match ',' how_to_match ')'
  | MATCH '(' what_to_match ',' where_to_match ',' how_to_match ',' part_mode ')'
  | MATCH '(' error ')' { builder->ErrorAlternative("syntax error: invalid match condition"); }
  ;

what_to_match
  : STRING_LITERAL { builder->RecordText(GENERIC_CONDITION, COND_MATCH, P_MATCH_WHAT, $1); }
  ;

where_to_match
  : HEADERS SCOPE_OP STRING_LITERAL
      { builder->RecordNamedPlace(COND_MATCH, P_MATCH_WHERE, WHERE_HEADER_NAMED, P_HEADER_NAME, $3); }
  | HEADERS SCOPE_OP ALL
      { builder->RecordInt(GENERIC_CONDITION, COND_MATCH, P_MATCH_WHERE, WHERE_HEADERS_ALL); }
  | PARTS SCOPE_OP ALL
      { builder->RecordInt(GENERIC_CONDITION, COND_MATCH, P_MATCH_WHERE, WHERE_PARTS_ALL); }
  | PARTS SCOPE_OP TEXT
      { builder->RecordInt(GENERIC_CONDITION, COND_MATCH, P_MATCH_WHERE, WHERE_PARTS_TEXT); }
  | PARTS SCOPE_OP TEXT_PLAIN
      { builder->RecordInt(GENERIC_CONDITION, COND_MATCH, P_MATCH_WHERE, WHERE_PARTS_TEXT_PLAIN); }
  | PARTS SCOPE_OP TEXT_HTML
      { builder->RecordInt(GENERIC_CONDITION, COND_MATCH, P_MATCH_WHERE, WHERE_PARTS_TEXT_HTML); }
  | PART_HEADERS SCOPE_OP STRING_LITERAL
      { builder->RecordNamedPlace(COND_MATCH, P_MATCH_WHERE, WHERE_PART_HEADER_NAMED,
                                  P_PART_HEADER_NAME, $3); }
  | PART_HEADERS SCOPE_OP ALL
      { builder->RecordInt(GENERIC_CONDITION, COND_MATCH, P_MATCH_WHERE, WHERE_PART_HEADERS_ALL); }
  | URLS SCOPE_OP ALL
      { builder->RecordInt(GENERIC_CONDITION, COND_MATCH, P_MATCH_WHERE, WHERE_URLS); }
  ;

how_to_match
  : EXACT { builder->RecordInt(GENERIC_CONDITION, COND_MATCH, P_MATCH_HOW, HOW_EXACT); }
  | EXACT_INSENSITIVE
      { builder->RecordInt(GENERIC_CONDITION, COND_MATCH, P_MATCH_HOW, HOW_EXACT_INSENSITIVE); }
  | OBFUSCATED { builder->RecordInt(GENERIC_CONDITION, COND_MATCH, P_MATCH_HOW, HOW_OBFUSCATED); }
  | REGEX { builder->RecordInt(GENERIC_CONDITION, COND_MATCH, P_MATCH_HOW, HOW_REGEX); }
  | REGEX_INSENSITIVE
      { builder->RecordInt(GENERIC_CONDITION, COND_MATCH, P_MATCH_HOW, HOW_REGEX_INSENSITIVE); }
  ;

part_mode
  : RAW { builder->RecordInt(GENERIC_CONDITION, COND_MATCH, P_MATCH_PART_MODE, MODE_RAW); }
  | DECODED { builder->RecordInt(GENERIC_CONDITION, COND_MATCH, P_MATCH_PART_MODE, MODE_DECODED); }
  ;

exists
  : EXISTS '(' what_exists ')'
  | EXISTS '(' error ')' { builder->ErrorAlternative("syntax error: invalid exists condition"); }
  ;

what_exists
  : HEADERS SCOPE_OP STRING_LITERAL
      { builder->RecordNamedPlace(COND_EXISTS, P_EXISTS_WHERE, WHERE_HEADER_NAMED, P_HEADER_NAME, $3); }
  | PARTS SCOPE_OP ALL
      { builder->RecordInt(GENERIC_CONDITION, COND_EXISTS, P_EXISTS_WHERE, WHERE_PARTS_ALL); }
  | PARTS SCOPE_OP TEXT
      { builder->RecordInt(GENERIC_CONDITION, COND_EXISTS, P_EXISTS_WHERE, WHERE_PARTS_TEXT); }
  | PARTS SCOPE_OP TEXT_PLAIN
      { builder->RecordInt(GENERIC_CONDITION, COND_EXISTS, P_EXISTS_WHERE, WHERE_PARTS_TEXT_PLAIN); }
  | PARTS SCOPE_OP TEXT_HTML
      { builder->RecordInt(GENERIC_CONDITION, COND_EXISTS, P_EXISTS_WHERE, WHERE_PARTS_TEXT_HTML); }
  ;

is_empty
  : IS_EMPTY '(' what_is_empty ')'
  | IS_EMPTY '(' error ')' { builder->ErrorAlternative("syntax error: invalid is_empty condition"); }
  ;

what_is_empty
  : HEADERS SCOPE_OP STRING_LITERAL
      { builder->RecordNamedPlace(COND_IS_EMPTY, P_IS_EMPTY_WHERE, WHERE_HEADER_NAMED,
                                  P_HEADER_NAME, $3); }
  | PARTS SCOPE_OP ALL
      { builder->RecordInt(GENERIC_CONDITION, COND_IS_EMPTY, P_IS_EMPTY_WHERE, WHERE_PARTS_ALL); }
  | PARTS SCOPE_OP TEXT
      { builder->RecordInt(GENERIC_CONDITION, COND_IS_EMPTY, P_IS_EMPTY_WHERE, WHERE_PARTS_TEXT); }
  | PARTS SCOPE_OP TEXT_PLAIN
      { builder->RecordInt(GENERIC_CONDITION, COND_IS_EMPTY, P_IS_EMPTY_WHERE,
                           WHERE_PARTS_TEXT_PLAIN); }
  | PARTS SCOPE_OP TEXT_HTML
      { builder->RecordInt(GENERIC_CONDITION, COND_IS_EMPTY, P_IS_EMPTY_WHERE,
                           WHERE_PARTS_TEXT_HTML); }
  ;

/* exec(NAME) is one construct in both sections; it records a condition or an action item
 * depending on the section it stands in, so each section has its own nonterminal. */
exec_condition
  : EXEC '(' NAME ')' { builder->RecordText(GENERIC_CONDITION, COND_EXEC, P_EXEC_FUNCTION, $3); }
  | EXEC '(' error ')' { builder->ErrorAlternative("syntax error: invalid execute condition"); }
  ;

exec_action
  : EXEC '(' NAME ')' { builder->RecordText(GENERIC_ACTION, ACT_EXEC, P_EXEC_ACTION_FUNCTION, $3); }
  | EXEC '(' error ')' { builder->ErrorAlternative("syntax error: invalid execute condition"); }
  ;

match_knn_categ
  : MATCH_KNN_CATEG '(' STRING_LITERAL ')' { builder->RecordKnnCategory($3); }
  | MATCH_KNN_CATEG '(' ANY ')'
      { builder->RecordInt(GENERIC_CONDITION, COND_KNN_CATEG, P_KNN_MODE, KNN_ANY); }
  | MATCH_KNN_CATEG '(' error ')'
      { builder->ErrorAlternative("syntax error: invalid match KNN category condition"); }
  ;

score_greater_than
  : SCORE_GREATER_THAN '(' NAME ',' compare_value ')'
      { builder->RecordText(GENERIC_CONDITION, COND_SCORE_GREATER, P_SCORE_NAME, $3); }
  ;

compare_value
  : CONSTANT
      { builder->RecordInt(GENERIC_CONDITION, COND_SCORE_GREATER, P_COMPARE_CONSTANT, $1); }
  | NAME { builder->RecordText(GENERIC_CONDITION, COND_SCORE_GREATER, P_COMPARE_VARIABLE, $1); }
  ;

set_category
  : SET_CATEGORY '(' category_to_set ')'
  | SET_CATEGORY '(' error ')'
      { builder->ErrorAlternative("syntax error: invalid set_category action"); }
  ;

category_to_set
  : STRING_LITERAL
      { builder->RecordText(GENERIC_ACTION, ACT_SET_CATEGORY, P_CATEGORY_LITERAL, $1); }
  | NAME { builder->RecordText(GENERIC_ACTION, ACT_SET_CATEGORY, P_CATEGORY_VARIABLE, $1); }
  ;

increase_score
  : INCREASE_SCORE '(' NAME ',' score_increase ')'
      { builder->RecordText(GENERIC_ACTION, ACT_INCREASE_SCORE, P_SCORE_TARGET, $3); }
  | INCREASE_SCORE '(' error ')'
      { builder->ErrorAlternative("syntax error: invalid increase_score action"); }
  ;

score_increase
  : CONSTANT
      { builder->RecordInt(GENERIC_ACTION, ACT_INCREASE_SCORE, P_INCREMENT_CONSTANT, $1); }
  | NAME { builder->RecordText(GENERIC_ACTION, ACT_INCREASE_SCORE, P_INCREMENT_VARIABLE, $1); }
  ;

mark
  : MARK '(' category_to_mark ',' score_mark ')'
  | MARK '(' error ')' { builder->ErrorAlternative("syntax error: invalid mark action"); }
  ;

category_to_mark
  : STRING_LITERAL
      { builder->RecordText(GENERIC_ACTION, ACT_MARK, P_MARK_CATEGORY_LITERAL, $1); }
  | NAME { builder->RecordText(GENERIC_ACTION, ACT_MARK, P_MARK_CATEGORY_VARIABLE, $1); }
  ;

score_mark
  : CONSTANT { builder->RecordInt(GENERIC_ACTION, ACT_MARK, P_MARK_SCORE_CONSTANT, $1); }
  | NAME { builder->RecordText(GENERIC_ACTION, ACT_MARK, P_MARK_SCORE_VARIABLE, $1); }
  ;

add_header
  : ADD_HEADER '(' header_name_to_add ',' header_value_to_add ')'
  | ADD_HEADER '(' error ')'
      { builder->ErrorAlternative("syntax error: invalid add header action"); }
  ;

header_name_to_add
  : STRING_LITERAL
      { builder->RecordText(GENERIC_ACTION, ACT_ADD_HEADER, P_HEADER_NAME_LITERAL, $1); }
  | NAME { builder->RecordText(GENERIC_ACTION, ACT_ADD_HEADER, P_HEADER_NAME_VARIABLE, $1); }
  ;

header_value_to_add
  : STRING_LITERAL { builder->RecordText(GENERIC_ACTION, ACT_ADD_HEADER, P_HEADER_VALUE, $1); }
  ;

add_to_header
  : ADD_TO_HEADER '(' header_name_to_add_to ',' header_value_to_append ')'
  | ADD_TO_HEADER '(' error ')'
      { builder->ErrorAlternative("syntax error: invalid add to header action"); }
  ;

header_name_to_add_to
  : STRING_LITERAL
      { builder->RecordText(GENERIC_ACTION, ACT_ADD_TO_HEADER, P_HEADER_NAME_LITERAL, $1); }
  | NAME { builder->RecordText(GENERIC_ACTION, ACT_ADD_TO_HEADER, P_HEADER_NAME_VARIABLE, $1); }
  ;

header_value_to_append
  : STRING_LITERAL
      { builder->RecordText(GENERIC_ACTION, ACT_ADD_TO_HEADER, P_HEADER_VALUE, $1); }
  ;

state
  : ENABLED '=' boolean { builder->RecordInt(GENERIC_METAINFO, META_STATE, P_STATE, $3); }
  ;

relevance
  : RELEVANCE '=' CONSTANT
      { builder->RecordInt(GENERIC_METAINFO, META_RELEVANCE, P_RELEVANCE, $3); }
  ;

comment
  : COMMENT '=' STRING_LITERAL
      { builder->RecordText(GENERIC_METAINFO, META_COMMENT, P_COMMENT, $3); }
  ;

priority
  : PRIORITY '=' CONSTANT { builder->RecordInt(GENERIC_METAINFO, META_PRIORITY, P_PRIORITY, $3); }
  ;

boolean
  : TRUE { $$ = 1; }
  | FALSE { $$ = 0; }
  ;

expression
  : logical_or_expression
  ;

logical_or_expression
  : logical_and_expression
  | logical_or_expression OR_OP logical_and_expression
      { $$ = builder->NewOperator(OP_OR, $1, $3); }
  | logical_or_expression ALL_OR_OP logical_and_expression
      { $$ = builder->NewOperator(OP_ALL_OR, $1, $3); }
  ;

logical_and_expression
  : equality_expression
  | logical_and_expression AND_OP equality_expression
      { $$ = builder->NewOperator(OP_AND, $1, $3); }
  | logical_and_expression ALL_AND_OP equality_expression
      { $$ = builder->NewOperator(OP_ALL_AND, $1, $3); }
  ;

equality_expression
  : negated_expression
  | equality_expression EQ_OP negated_expression { $$ = builder->NewOperator(OP_EQ, $1, $3); }
  | equality_expression NE_OP negated_expression { $$ = builder->NewOperator(OP_NE, $1, $3); }
  ;

negated_expression
  : primary_expression
  | NOT_OP primary_expression { $$ = builder->NewOperator(OP_NOT, $2, nullptr); }
  ;

primary_expression
  : boolean { $$ = builder->NewBooleanLeaf($1); }
  | NAME { $$ = builder->NewNameLeaf($1); }
  | '(' expression ')' { $$ = $2; }
  ;

%%
