#include "VokMsg.h"

#include "vok_util.h"

TAttachedFile& TAttachedFiles::AddFile(const std::string& name) {
  items_.push_back(std::make_unique<TAttachedFile>());
  TAttachedFile& item = *items_.back();
  item.FileName = vok::ExtractFileName(name);
  item.PathName = name;
  item.ContentType = vok::ContentTypeOf(name);
  return item;
}
