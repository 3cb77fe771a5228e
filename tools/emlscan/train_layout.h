// `emlscan train-layout --ham DIR --spam DIR [--category NAME DIR]... -o as2graph.dat`:
// builds the graphical-pattern classifier's centres file from labelled mail.
//
// Every mail is broken through the plug-in as `check` breaks it, and its layout is read
// from the parts tree (black-box id 2) by the classifier's own analyser
// (engines/graphical_analyzer.h), so training and classification see the same features.
// Each category's mails are clustered by k-medoids with the classifier's distance; every
// cluster becomes a centre (its medoid's features, its members and their distances). With
// --holdout N every Nth mail of each category is kept out of training and classified
// with the centres written, and the result is reported. docs/LAYOUT.md explains the
// method and its figures.
//
// Progress goes to standard error, a line per 200 mails broken. The output is the same
// for the same mails and options, whatever --jobs is.
#ifndef TOOLS_EMLSCAN_TRAIN_LAYOUT_H_
#define TOOLS_EMLSCAN_TRAIN_LAYOUT_H_

#include <string>
#include <utility>
#include <vector>

namespace CLI {
class App;
}

namespace emlscan {

struct TrainLayoutOptions {
  // (category name, folder), in the order given: ham, spam, then the --category ones.
  std::vector<std::pair<std::string, std::string>> categories;
  std::string output;
  // Every Nth mail of a category is held out (0: none).
  int holdout = 0;
  // A cluster is planned for about this many training mails of a category.
  int mails_per_centre = 4;
  // A centre is dropped when it takes in more training mails of other categories than
  // this per mail of its own (negative: every centre is kept).
  double max_foreign = 0;
  int jobs = 1;
  bool quiet = false;
};

// The train-layout subcommand of main's CLI11 app. The references are main's options
// and must outlive the command; they are read by Run, after the command line was parsed.
class TrainLayoutCommand {
 public:
  TrainLayoutCommand(CLI::App& app, const std::string& config_file,
                     const std::string& plugin_path, const std::vector<std::string>& overrides);
  bool Selected() const;
  // The exit status: 0 when the file was written, 1 when some category had no usable
  // mail, 2 on a usage or settings error (thrown ones are main's).
  int Run();

 private:
  CLI::App* command_;
  std::string ham_;
  std::string spam_;
  std::vector<std::string> extra_;  // NAME DIR pairs
  TrainLayoutOptions options_;
  const std::string& config_file_;
  const std::string& plugin_path_;
  const std::vector<std::string>& overrides_;
};

}  // namespace emlscan

#endif  // TOOLS_EMLSCAN_TRAIN_LAYOUT_H_
