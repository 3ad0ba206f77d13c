// The page that kestu-web serves at "/".
#ifndef TOOLS_WEB_WEB_PAGE_H_
#define TOOLS_WEB_WEB_PAGE_H_

namespace kestu_tools {

const char* WebPage();

}  // namespace kestu_tools

#endif  // TOOLS_WEB_WEB_PAGE_H_
