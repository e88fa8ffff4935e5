-- Varnholt main database.
--
-- Run this script inside the main database (the one named by DataBase in
-- section DatabaseConfig of Zelk.conf); it neither creates nor selects a
-- database. It can be run again at any time: existing tables are kept.
--
-- The server runs with lower_case_table_names=1; every table is MyISAM in the
-- GBK character set.

-- dev_node: the gateway nodes the log centre accepts, one row per node.
-- Read once when the node listener starts:
--   select node_name , secret , md5_secret , db_name from dev_node
--     where deleted = 0 limit 64
-- Live rows are taken in row order; only the first 64 become nodes.
CREATE TABLE IF NOT EXISTS `dev_node` (
  `id`         INT          NOT NULL AUTO_INCREMENT,
  -- display name of the node (the service keeps at most 98 characters)
  `node_name`  VARCHAR(128) NOT NULL DEFAULT '',
  -- the node's shared secret, kept as text
  `secret`     VARCHAR(128) NOT NULL DEFAULT '',
  -- the node identity: MD5 digest as 32 hexadecimal digits (any case; the
  -- service lower-cases it). Gateway packets carry the same 16 bytes.
  `md5_secret` CHAR(32)     NOT NULL DEFAULT '',
  -- name of the MySQL database that holds this node's logs (see node.sql)
  `db_name`    VARCHAR(64)  NOT NULL DEFAULT '',
  -- 0 = live; any other value = removed, ignored by the service
  `deleted`    INT          NOT NULL DEFAULT 0,
  PRIMARY KEY (`id`),
  KEY `idx_dev_node_md5` (`md5_secret`),
  KEY `idx_dev_node_deleted` (`deleted`)
) ENGINE=MyISAM DEFAULT CHARSET=gbk;
