-- Varnholt node database: every table of one gateway node's database.
--
-- Run this script inside the node's database (the db_name of its dev_node row),
-- created with DEFAULT CHARACTER SET gbk; it neither creates nor selects a
-- database. It can be run again at any time: existing tables are kept.
--
-- Rules that hold for every table below:
--   * ENGINE=MyISAM (the service repairs tables with REPAIR TABLE) and
--     DEFAULT CHARSET=gbk (all text reaches the server as GBK).
--   * Table names are lower case; the server runs with
--     lower_case_table_names=1 because the service names some tables in mixed
--     case (UsrFlowLog, UsrBasicLog, UsrSvrLog, Admin).
--   * Columns that the directory sync may leave out have defaults, because
--     Logudt.conf decides which XML attributes become columns.
--   * Addresses are IPv4 addresses in host byte order as unsigned 32-bit
--     numbers; ports are 0 to 65535.
--   * Traffic counters are signed 64-bit: the service writes them with a
--     signed 64-bit format and never checks their sign.
--
-- See docs/schema.md for who writes and reads each table.

-- ===========================================================================
-- Directory tables: a copy of the gateway's own directory. The directory sync
-- replaces their rows ("lock tables X write", "delete from X", one
-- "insert into X(<columns of Logudt.conf>) values (...)" per XML row,
-- "unlock tables"). Text values arrive in double-quoted literals; an empty
-- XML attribute arrives as "0".
-- ===========================================================================

-- admin: administrators. Read as "select id , name , pgrpid from admin" to
-- map administrator names of Admin logs to ids. Replaced by the
-- administrator sync (XML elements "CtrlManager...", table named Admin).
CREATE TABLE IF NOT EXISTS `admin` (
  `id`          INT          NOT NULL,              -- gateway's administrator id
  `name`        VARCHAR(255) NOT NULL DEFAULT '',   -- log-in name (matched ignoring case)
  `pgrpid`      INT          NOT NULL DEFAULT 0,    -- administrator group (admingroup.id)
  `password`    VARCHAR(128) NOT NULL DEFAULT '',   -- as the gateway sends it
  `login_ip`    INT UNSIGNED NOT NULL DEFAULT 0,    -- address bound to the account, 0 = any
  `status`      INT          NOT NULL DEFAULT 0,    -- gateway's account state
  `description` VARCHAR(255) NOT NULL DEFAULT '',
  PRIMARY KEY (`id`),
  KEY `idx_admin_name` (`name`)
) ENGINE=MyISAM DEFAULT CHARSET=gbk;

-- admingroup: administrator groups (XML elements "CtrlGroup...").
CREATE TABLE IF NOT EXISTS `admingroup` (
  `id`          INT          NOT NULL,              -- gateway's group id
  `pgrpid`      INT          NOT NULL DEFAULT 0,    -- parent group, 0 = top level
  `name`        VARCHAR(255) NOT NULL DEFAULT '',
  `description` VARCHAR(255) NOT NULL DEFAULT '',
  PRIMARY KEY (`id`)
) ENGINE=MyISAM DEFAULT CHARSET=gbk;

-- ctrl_rights: rights granted to administrator groups (user/device sync).
CREATE TABLE IF NOT EXISTS `ctrl_rights` (
  `id`          INT           NOT NULL DEFAULT 0,
  `grpid`       INT           NOT NULL DEFAULT 0,   -- admingroup.id
  `name`        VARCHAR(255)  NOT NULL DEFAULT '',  -- name of the right
  `rights`      VARCHAR(1024) NOT NULL DEFAULT '',  -- granted rights as the gateway encodes them
  KEY `idx_ctrl_rights_id` (`id`),
  KEY `idx_ctrl_rights_grpid` (`grpid`)
) ENGINE=MyISAM DEFAULT CHARSET=gbk;

-- tarnuser: users. Ids above 0 come from the gateway and are replaced by the
-- user sync ("delete from tarnuser where id>0"); ids 0 and below are added by
-- the service itself for users it meets in logs first
-- ("lock tables tarnuser write", "select min(id) from tarnuser",
--  "insert  into tarnuser(`id`,`name`,`grpid`) values (...)"), giving -1, -2,
-- ... and surviving every sync. Read as
-- "select id , name , grpid from tarnuser". Not auto-increment.
CREATE TABLE IF NOT EXISTS `tarnuser` (
  `id`          INT          NOT NULL,              -- > 0 gateway, <= 0 added by the service
  `name`        VARCHAR(255) NOT NULL DEFAULT '',   -- log-in name (matched ignoring case)
  `grpid`       INT          NOT NULL DEFAULT 0,    -- tarngroup.id, or -2000 (group never listed)
  `status`      INT          NOT NULL DEFAULT 0,
  `description` VARCHAR(255) NOT NULL DEFAULT '',
  PRIMARY KEY (`id`),
  KEY `idx_tarnuser_name` (`name`)
) ENGINE=MyISAM DEFAULT CHARSET=gbk;

-- tarngroup: user groups. Read as "select id , pgrpid from tarngroup" to
-- check the group of a user the service adds.
CREATE TABLE IF NOT EXISTS `tarngroup` (
  `id`          INT          NOT NULL,              -- gateway's group id
  `pgrpid`      INT          NOT NULL DEFAULT 0,    -- parent group, 0 = top level
  `name`        VARCHAR(255) NOT NULL DEFAULT '',
  `description` VARCHAR(255) NOT NULL DEFAULT '',
  PRIMARY KEY (`id`)
) ENGINE=MyISAM DEFAULT CHARSET=gbk;

-- tarnrc: resources (services behind the gateway) published to users.
CREATE TABLE IF NOT EXISTS `tarnrc` (
  `id`          INT               NOT NULL DEFAULT 0,
  `name`        VARCHAR(255)      NOT NULL DEFAULT '',
  `rcgrpid`     INT               NOT NULL DEFAULT 0,   -- tarnrcgrp.id
  `type`        INT               NOT NULL DEFAULT 0,   -- service type of the resource
  `address`     INT UNSIGNED      NOT NULL DEFAULT 0,   -- server address
  `port`        SMALLINT UNSIGNED NOT NULL DEFAULT 0,   -- server port
  `url`         VARCHAR(1024)     NOT NULL DEFAULT '',
  `description` VARCHAR(255)      NOT NULL DEFAULT '',
  KEY `idx_tarnrc_id` (`id`)
) ENGINE=MyISAM DEFAULT CHARSET=gbk;

-- tarnrcgrp: resource groups.
CREATE TABLE IF NOT EXISTS `tarnrcgrp` (
  `id`          INT          NOT NULL DEFAULT 0,
  `pgrpid`      INT          NOT NULL DEFAULT 0,
  `name`        VARCHAR(255) NOT NULL DEFAULT '',
  `description` VARCHAR(255) NOT NULL DEFAULT '',
  KEY `idx_tarnrcgrp_id` (`id`)
) ENGINE=MyISAM DEFAULT CHARSET=gbk;

-- tarnrole: roles.
CREATE TABLE IF NOT EXISTS `tarnrole` (
  `id`          INT          NOT NULL DEFAULT 0,
  `name`        VARCHAR(255) NOT NULL DEFAULT '',
  `description` VARCHAR(255) NOT NULL DEFAULT '',
  KEY `idx_tarnrole_id` (`id`)
) ENGINE=MyISAM DEFAULT CHARSET=gbk;

-- tarnrole_grp: role <-> user group.
CREATE TABLE IF NOT EXISTS `tarnrole_grp` (
  `roleid`      INT NOT NULL DEFAULT 0,   -- tarnrole.id
  `grpid`       INT NOT NULL DEFAULT 0,   -- tarngroup.id
  KEY `idx_tarnrole_grp` (`roleid`, `grpid`)
) ENGINE=MyISAM DEFAULT CHARSET=gbk;

-- tarnrole_rc: role <-> resource.
CREATE TABLE IF NOT EXISTS `tarnrole_rc` (
  `roleid`      INT NOT NULL DEFAULT 0,   -- tarnrole.id
  `rcid`        INT NOT NULL DEFAULT 0,   -- tarnrc.id
  KEY `idx_tarnrole_rc` (`roleid`, `rcid`)
) ENGINE=MyISAM DEFAULT CHARSET=gbk;

-- tarnrole_rcgrp: role <-> resource group.
CREATE TABLE IF NOT EXISTS `tarnrole_rcgrp` (
  `roleid`      INT NOT NULL DEFAULT 0,   -- tarnrole.id
  `rcgrpid`     INT NOT NULL DEFAULT 0,   -- tarnrcgrp.id
  KEY `idx_tarnrole_rcgrp` (`roleid`, `rcgrpid`)
) ENGINE=MyISAM DEFAULT CHARSET=gbk;

-- tarnrole_user: role <-> user.
CREATE TABLE IF NOT EXISTS `tarnrole_user` (
  `roleid`      INT NOT NULL DEFAULT 0,   -- tarnrole.id
  `userid`      INT NOT NULL DEFAULT 0,   -- tarnuser.id
  KEY `idx_tarnrole_user` (`roleid`, `userid`)
) ENGINE=MyISAM DEFAULT CHARSET=gbk;

-- devices: the gateway's device list (device sync, update type 2).
CREATE TABLE IF NOT EXISTS `devices` (
  `id`          INT          NOT NULL DEFAULT 0,
  `name`        VARCHAR(255) NOT NULL DEFAULT '',
  `dev_ip`      INT UNSIGNED NOT NULL DEFAULT 0,   -- device address
  `dev_type`    INT          NOT NULL DEFAULT 0,   -- 0 to 2, as in keep-alives
  `description` VARCHAR(255) NOT NULL DEFAULT '',
  KEY `idx_devices_id` (`id`)
) ENGINE=MyISAM DEFAULT CHARSET=gbk;

-- ===========================================================================
-- Bulk-loaded user log tables. Data files are loaded with
--   load data local infile '<file>' into table <t> character set gbk
--   fields enclosed by '"' lines terminated by '\r\n'
-- WITHOUT a column list, through "<t>_temp" (create temporary table if not
-- exists <t>_temp select * from <t> where 1 <> 1; insert into <t> select *
-- from <t>_temp) for small files. So the column order of these three tables
-- IS the field order of their tab-separated data-file lines: never add,
-- remove or reorder a column. The record id is not a key: a failed load is
-- retried and a log may be written by both writers, so it is only indexed.
-- ===========================================================================

-- usrflowlog: traffic (flow) records, user action 2. Line:
-- "<record_id>"\t<user_id>\t<svr_ip>\t<grp_id>\t<dw_flux>\t<up_flux>\t
-- <raw_dw_flux>\t<raw_up_flux>\t"<log_time>"\t<address>\t<svr_port>\r\n
CREATE TABLE IF NOT EXISTS `usrflowlog` (
  `record_id`   BIGINT            NOT NULL DEFAULT 0,   -- 64-bit record id (may be negative)
  `user_id`     INT               NOT NULL DEFAULT 0,   -- tarnuser.id
  `svr_ip`      INT UNSIGNED      NOT NULL DEFAULT 0,   -- server address
  `grp_id`      INT               NOT NULL DEFAULT 0,   -- user group
  `dw_flux`     BIGINT            NOT NULL DEFAULT 0,   -- bytes downloaded
  `up_flux`     BIGINT            NOT NULL DEFAULT 0,   -- bytes uploaded
  `raw_dw_flux` BIGINT            NOT NULL DEFAULT 0,   -- bytes downloaded before optimisation
  `raw_up_flux` BIGINT            NOT NULL DEFAULT 0,   -- bytes uploaded before optimisation
  `log_time`    DATETIME          NOT NULL,
  `address`     INT UNSIGNED      NOT NULL DEFAULT 0,   -- client address
  `svr_port`    SMALLINT UNSIGNED NOT NULL DEFAULT 0,   -- server port
  KEY `idx_usrflowlog_record_id` (`record_id`),
  KEY `idx_usrflowlog_log_time` (`log_time`)
) ENGINE=MyISAM DEFAULT CHARSET=gbk;

-- usrbasiclog: every user log other than flow records (log-ins, log-outs,
-- resource accesses, ...). Line:
-- "<record_id>"\t<user_id>\t"<user_name>"\t<grp_id>\t<user_action>\t
-- <action_result>\t<address>\t"<message>"\t<auth_method>\t"<log_time>"\t
-- <svr_ip>\t<svr_port>\r\n
CREATE TABLE IF NOT EXISTS `usrbasiclog` (
  `record_id`     BIGINT            NOT NULL DEFAULT 0,
  `user_id`       INT               NOT NULL DEFAULT 0,
  `user_name`     VARCHAR(400)      NOT NULL DEFAULT '',  -- wider than any name needs; kept for older databases
  `grp_id`        INT               NOT NULL DEFAULT 0,
  `user_action`   INT               NOT NULL DEFAULT 0,   -- 0 to 6
  `action_result` INT               NOT NULL DEFAULT 0,   -- 0 to 2
  `address`       INT UNSIGNED      NOT NULL DEFAULT 0,   -- client address
  `message`       VARCHAR(1024)     NOT NULL DEFAULT '',
  `auth_method`   INT               NOT NULL DEFAULT 0,   -- 0 to 1023
  `log_time`      DATETIME          NOT NULL,
  `svr_ip`        INT UNSIGNED      NOT NULL DEFAULT 0,
  `svr_port`      SMALLINT UNSIGNED NOT NULL DEFAULT 0,
  KEY `idx_usrbasiclog_record_id` (`record_id`),
  KEY `idx_usrbasiclog_log_time` (`log_time`)
) ENGINE=MyISAM DEFAULT CHARSET=gbk;

-- usrsvrlog: resource (service) accesses, user action 3, one row besides the
-- usrbasiclog row with the same record id. Line:
-- "<record_id>"\t<user_id>\t<grp_id>\t<svr_ip>\t<svr_port>\t<svr_type>\t
-- "<log_time>"\t<action_result>\t<address>\t"<message>"\t<svr_attr>\r\n
CREATE TABLE IF NOT EXISTS `usrsvrlog` (
  `record_id`     BIGINT            NOT NULL DEFAULT 0,
  `user_id`       INT               NOT NULL DEFAULT 0,
  `grp_id`        INT               NOT NULL DEFAULT 0,
  `svr_ip`        INT UNSIGNED      NOT NULL DEFAULT 0,
  `svr_port`      SMALLINT UNSIGNED NOT NULL DEFAULT 0,
  `svr_type`      INT               NOT NULL DEFAULT 0,   -- 0 to 3
  `log_time`      DATETIME          NOT NULL,
  `action_result` INT               NOT NULL DEFAULT 0,
  `address`       INT UNSIGNED      NOT NULL DEFAULT 0,   -- client address
  `message`       VARCHAR(1024)     NOT NULL DEFAULT '',
  `svr_attr`      INT               NOT NULL DEFAULT 0,   -- 0 or 1
  KEY `idx_usrsvrlog_record_id` (`record_id`),
  KEY `idx_usrsvrlog_log_time` (`log_time`)
) ENGINE=MyISAM DEFAULT CHARSET=gbk;

-- ===========================================================================
-- Other log tables.
-- ===========================================================================

-- syslog: system messages of the node. Bulk-loaded WITH the column list
-- ( `lev` , `process` , `message` , `log_time` ); line:
-- <lev>\t<process>\t"<message>"\t"<log_time>"\r\n
-- The id is filled by AUTO_INCREMENT, also when rows come through syslog_temp
-- (they arrive with id 0, so the server must not run with
-- NO_AUTO_VALUE_ON_ZERO).
CREATE TABLE IF NOT EXISTS `syslog` (
  `id`          BIGINT        NOT NULL AUTO_INCREMENT,
  `lev`         INT           NOT NULL DEFAULT 0,   -- level 0 to 4
  `process`     INT           NOT NULL DEFAULT 0,   -- process type 0 to 603
  `message`     VARCHAR(1024) NOT NULL DEFAULT '',
  `log_time`    DATETIME      NOT NULL,
  PRIMARY KEY (`id`),
  KEY `idx_syslog_log_time` (`log_time`)
) ENGINE=MyISAM DEFAULT CHARSET=gbk;

-- adt_log: administrator actions.
CREATE TABLE IF NOT EXISTS `adt_log` (
  `id`            BIGINT        NOT NULL AUTO_INCREMENT,
  `log_time`      DATETIME      NOT NULL,
  `adt_action`    INT           NOT NULL DEFAULT 0,   -- 0 to 6
  `action_result` INT           NOT NULL DEFAULT 0,   -- 0 to 2
  `entity`        INT           NOT NULL DEFAULT 0,   -- 0 to 15
  `adt_id`        INT           NOT NULL DEFAULT 0,   -- admin.id
  `adt_name`      VARCHAR(255)  NOT NULL DEFAULT '',
  `adt_grp_id`    INT           NOT NULL DEFAULT 0,   -- admingroup.id, -1 possible
  `address`       INT UNSIGNED  NOT NULL DEFAULT 0,
  `message`       VARCHAR(1024) NOT NULL DEFAULT '',
  PRIMARY KEY (`id`),
  KEY `idx_adt_log_log_time` (`log_time`)
) ENGINE=MyISAM DEFAULT CHARSET=gbk;

-- alarm_log: alarms (message field up to 5,119 bytes).
CREATE TABLE IF NOT EXISTS `alarm_log` (
  `id`          BIGINT   NOT NULL AUTO_INCREMENT,
  `type`        INT      NOT NULL DEFAULT 0,   -- alarm type 0 to 12
  `message`     TEXT     NOT NULL,
  `log_time`    DATETIME NOT NULL,
  PRIMARY KEY (`id`),
  KEY `idx_alarm_log_log_time` (`log_time`)
) ENGINE=MyISAM DEFAULT CHARSET=gbk;

-- dev_stat: node traffic from keep-alives, one row per six keep-alives.
CREATE TABLE IF NOT EXISTS `dev_stat` (
  `id`            BIGINT       NOT NULL AUTO_INCREMENT,
  `dev_ip`        INT UNSIGNED NOT NULL DEFAULT 0,   -- device address
  `time`          DATETIME     NOT NULL,             -- time of the sixth keep-alive
  `upload_flux`   BIGINT       NOT NULL DEFAULT 0,   -- sum of six up-flux values
  `download_flux` BIGINT       NOT NULL DEFAULT 0,   -- sum of six down-flux values
  PRIMARY KEY (`id`),
  KEY `idx_dev_stat_time` (`time`),
  KEY `idx_dev_stat_dev_ip` (`dev_ip`)
) ENGINE=MyISAM DEFAULT CHARSET=gbk;

-- dev_info: connection history of the node, one row per change of state.
CREATE TABLE IF NOT EXISTS `dev_info` (
  `id`             BIGINT       NOT NULL AUTO_INCREMENT,
  `dev_ip`         INT UNSIGNED NOT NULL DEFAULT 0,   -- peer address of the connection
  `TotalLog`       BIGINT       NOT NULL DEFAULT 0,   -- rows in the five main log tables
  `lastupdateTime` DATETIME     NOT NULL,
  `ConnStat`       INT          NOT NULL DEFAULT 0,   -- 1 connected, 0 disconnected
  PRIMARY KEY (`id`),
  KEY `idx_dev_info_dev_ip` (`dev_ip`, `lastupdateTime`),
  KEY `idx_dev_info_time` (`lastupdateTime`)
) ENGINE=MyISAM DEFAULT CHARSET=gbk;

-- usrfileauditlog: user audit files uploaded by the node and stored under
-- the web upload directory, one row per completed upload.
CREATE TABLE IF NOT EXISTS `usrfileauditlog` (
  `id`           BIGINT        NOT NULL AUTO_INCREMENT,
  `user_id`      INT           NOT NULL DEFAULT 0,
  `user_name`    VARCHAR(255)  NOT NULL DEFAULT '',
  `grp_id`       INT           NOT NULL DEFAULT 0,
  `filename`     VARCHAR(260)  NOT NULL DEFAULT '',   -- name part of the client path
  `filefullpath` VARCHAR(520)  NOT NULL DEFAULT '',   -- client's full path
  `dcfilepath`   VARCHAR(1024) NOT NULL DEFAULT '',   -- web path: /UploadFiles/<db>/<yyyy-mm>/<user>/<file>
  `filesize`     BIGINT        NOT NULL DEFAULT 0,    -- source file size in bytes
  `sha1code`     CHAR(40)      NOT NULL DEFAULT '',   -- SHA-1, 40 upper-case hex digits
  `log_time`     DATETIME      NOT NULL,
  PRIMARY KEY (`id`),
  KEY `idx_usrfileauditlog_log_time` (`log_time`),
  KEY `idx_usrfileauditlog_user_id` (`user_id`)
) ENGINE=MyISAM DEFAULT CHARSET=gbk;

-- ===========================================================================
-- Report (statistics) tables. Filled by the statements of statistics.conf;
-- the shapes below are the ones those statements work with.
-- ===========================================================================

-- midtableinfo: one row per statistics run of a report table. The report
-- task reads "select beginTime, endTime,  updateTime from midtableinfo where
-- tbName='<table>' order by  updateTime desc limit 1".
CREATE TABLE IF NOT EXISTS `midtableinfo` (
  `id`         BIGINT      NOT NULL AUTO_INCREMENT,
  `tbName`     VARCHAR(64) NOT NULL DEFAULT '',          -- report table name (TableName)
  `beginTime`  DATETIME    NOT NULL,                     -- start of the window covered
  `endTime`    DATETIME    NULL DEFAULT NULL,            -- end of the window, NULL = open
  `updateTime` DATETIME    NOT NULL DEFAULT CURRENT_TIMESTAMP,  -- when the run finished
  PRIMARY KEY (`id`),
  KEY `idx_midtableinfo_tb` (`tbName`, `updateTime`)
) ENGINE=MyISAM DEFAULT CHARSET=gbk;

-- reportcache: finished reports kept for the web console.
CREATE TABLE IF NOT EXISTS `reportcache` (
  `id`          BIGINT        NOT NULL AUTO_INCREMENT,
  `report_name` VARCHAR(128)  NOT NULL DEFAULT '',
  `params`      VARCHAR(1024) NOT NULL DEFAULT '',
  `create_time` DATETIME      NOT NULL DEFAULT CURRENT_TIMESTAMP,
  `content`     MEDIUMTEXT    NULL,
  PRIMARY KEY (`id`),
  KEY `idx_reportcache_name` (`report_name`, `create_time`)
) ENGINE=MyISAM DEFAULT CHARSET=gbk;

-- *_flowrange: traffic totals per subject over a window [begin_time, end_time).
CREATE TABLE IF NOT EXISTS `grp_flowrange` (
  `id`          BIGINT   NOT NULL AUTO_INCREMENT,
  `begin_time`  DATETIME NOT NULL,
  `end_time`    DATETIME NOT NULL,
  `grp_id`      INT      NOT NULL DEFAULT 0,
  `up_flux`     BIGINT   NOT NULL DEFAULT 0,
  `dw_flux`     BIGINT   NOT NULL DEFAULT 0,
  PRIMARY KEY (`id`),
  KEY `idx_grp_flowrange_time` (`begin_time`),
  KEY `idx_grp_flowrange_grp` (`grp_id`)
) ENGINE=MyISAM DEFAULT CHARSET=gbk;

CREATE TABLE IF NOT EXISTS `user_flowrange` (
  `id`          BIGINT   NOT NULL AUTO_INCREMENT,
  `begin_time`  DATETIME NOT NULL,
  `end_time`    DATETIME NOT NULL,
  `user_id`     INT      NOT NULL DEFAULT 0,
  `grp_id`      INT      NOT NULL DEFAULT 0,
  `up_flux`     BIGINT   NOT NULL DEFAULT 0,
  `dw_flux`     BIGINT   NOT NULL DEFAULT 0,
  PRIMARY KEY (`id`),
  KEY `idx_user_flowrange_time` (`begin_time`),
  KEY `idx_user_flowrange_user` (`user_id`)
) ENGINE=MyISAM DEFAULT CHARSET=gbk;

CREATE TABLE IF NOT EXISTS `svr_flowrange` (
  `id`          BIGINT            NOT NULL AUTO_INCREMENT,
  `begin_time`  DATETIME          NOT NULL,
  `end_time`    DATETIME          NOT NULL,
  `svr_ip`      INT UNSIGNED      NOT NULL DEFAULT 0,
  `svr_port`    SMALLINT UNSIGNED NOT NULL DEFAULT 0,
  `up_flux`     BIGINT            NOT NULL DEFAULT 0,
  `dw_flux`     BIGINT            NOT NULL DEFAULT 0,
  PRIMARY KEY (`id`),
  KEY `idx_svr_flowrange_time` (`begin_time`),
  KEY `idx_svr_flowrange_svr` (`svr_ip`, `svr_port`)
) ENGINE=MyISAM DEFAULT CHARSET=gbk;

-- svruser_flowrange: per server, the traffic of each user.
CREATE TABLE IF NOT EXISTS `svruser_flowrange` (
  `id`          BIGINT            NOT NULL AUTO_INCREMENT,
  `begin_time`  DATETIME          NOT NULL,
  `end_time`    DATETIME          NOT NULL,
  `svr_ip`      INT UNSIGNED      NOT NULL DEFAULT 0,
  `svr_port`    SMALLINT UNSIGNED NOT NULL DEFAULT 0,
  `user_id`     INT               NOT NULL DEFAULT 0,
  `grp_id`      INT               NOT NULL DEFAULT 0,
  `up_flux`     BIGINT            NOT NULL DEFAULT 0,
  `dw_flux`     BIGINT            NOT NULL DEFAULT 0,
  PRIMARY KEY (`id`),
  KEY `idx_svruser_flowrange_time` (`begin_time`),
  KEY `idx_svruser_flowrange_svr` (`svr_ip`, `svr_port`)
) ENGINE=MyISAM DEFAULT CHARSET=gbk;

-- usersvr_flowrange: per user, the traffic to each server.
CREATE TABLE IF NOT EXISTS `usersvr_flowrange` (
  `id`          BIGINT            NOT NULL AUTO_INCREMENT,
  `begin_time`  DATETIME          NOT NULL,
  `end_time`    DATETIME          NOT NULL,
  `user_id`     INT               NOT NULL DEFAULT 0,
  `grp_id`      INT               NOT NULL DEFAULT 0,
  `svr_ip`      INT UNSIGNED      NOT NULL DEFAULT 0,
  `svr_port`    SMALLINT UNSIGNED NOT NULL DEFAULT 0,
  `up_flux`     BIGINT            NOT NULL DEFAULT 0,
  `dw_flux`     BIGINT            NOT NULL DEFAULT 0,
  PRIMARY KEY (`id`),
  KEY `idx_usersvr_flowrange_time` (`begin_time`),
  KEY `idx_usersvr_flowrange_user` (`user_id`)
) ENGINE=MyISAM DEFAULT CHARSET=gbk;

-- *_flowtrend: traffic per subject per time slot starting at stat_time.
CREATE TABLE IF NOT EXISTS `grp_flowtrend` (
  `id`          BIGINT   NOT NULL AUTO_INCREMENT,
  `stat_time`   DATETIME NOT NULL,
  `grp_id`      INT      NOT NULL DEFAULT 0,
  `up_flux`     BIGINT   NOT NULL DEFAULT 0,
  `dw_flux`     BIGINT   NOT NULL DEFAULT 0,
  PRIMARY KEY (`id`),
  KEY `idx_grp_flowtrend_time` (`stat_time`),
  KEY `idx_grp_flowtrend_grp` (`grp_id`)
) ENGINE=MyISAM DEFAULT CHARSET=gbk;

CREATE TABLE IF NOT EXISTS `user_flowtrend` (
  `id`          BIGINT   NOT NULL AUTO_INCREMENT,
  `stat_time`   DATETIME NOT NULL,
  `user_id`     INT      NOT NULL DEFAULT 0,
  `grp_id`      INT      NOT NULL DEFAULT 0,
  `up_flux`     BIGINT   NOT NULL DEFAULT 0,
  `dw_flux`     BIGINT   NOT NULL DEFAULT 0,
  PRIMARY KEY (`id`),
  KEY `idx_user_flowtrend_time` (`stat_time`),
  KEY `idx_user_flowtrend_user` (`user_id`)
) ENGINE=MyISAM DEFAULT CHARSET=gbk;

CREATE TABLE IF NOT EXISTS `svr_flowtrend` (
  `id`          BIGINT            NOT NULL AUTO_INCREMENT,
  `stat_time`   DATETIME          NOT NULL,
  `svr_ip`      INT UNSIGNED      NOT NULL DEFAULT 0,
  `svr_port`    SMALLINT UNSIGNED NOT NULL DEFAULT 0,
  `up_flux`     BIGINT            NOT NULL DEFAULT 0,
  `dw_flux`     BIGINT            NOT NULL DEFAULT 0,
  PRIMARY KEY (`id`),
  KEY `idx_svr_flowtrend_time` (`stat_time`),
  KEY `idx_svr_flowtrend_svr` (`svr_ip`, `svr_port`)
) ENGINE=MyISAM DEFAULT CHARSET=gbk;

-- *_bwoptflow: bandwidth optimisation: traffic before (raw_*) and after
-- optimisation per subject over a window.
CREATE TABLE IF NOT EXISTS `svr_bwoptflow` (
  `id`          BIGINT            NOT NULL AUTO_INCREMENT,
  `begin_time`  DATETIME          NOT NULL,
  `end_time`    DATETIME          NOT NULL,
  `svr_ip`      INT UNSIGNED      NOT NULL DEFAULT 0,
  `svr_port`    SMALLINT UNSIGNED NOT NULL DEFAULT 0,
  `up_flux`     BIGINT            NOT NULL DEFAULT 0,
  `dw_flux`     BIGINT            NOT NULL DEFAULT 0,
  `raw_up_flux` BIGINT            NOT NULL DEFAULT 0,
  `raw_dw_flux` BIGINT            NOT NULL DEFAULT 0,
  PRIMARY KEY (`id`),
  KEY `idx_svr_bwoptflow_time` (`begin_time`),
  KEY `idx_svr_bwoptflow_svr` (`svr_ip`, `svr_port`)
) ENGINE=MyISAM DEFAULT CHARSET=gbk;

CREATE TABLE IF NOT EXISTS `user_bwoptflow` (
  `id`          BIGINT   NOT NULL AUTO_INCREMENT,
  `begin_time`  DATETIME NOT NULL,
  `end_time`    DATETIME NOT NULL,
  `user_id`     INT      NOT NULL DEFAULT 0,
  `grp_id`      INT      NOT NULL DEFAULT 0,
  `up_flux`     BIGINT   NOT NULL DEFAULT 0,
  `dw_flux`     BIGINT   NOT NULL DEFAULT 0,
  `raw_up_flux` BIGINT   NOT NULL DEFAULT 0,
  `raw_dw_flux` BIGINT   NOT NULL DEFAULT 0,
  PRIMARY KEY (`id`),
  KEY `idx_user_bwoptflow_time` (`begin_time`),
  KEY `idx_user_bwoptflow_user` (`user_id`)
) ENGINE=MyISAM DEFAULT CHARSET=gbk;

-- ===========================================================================
-- Maintenance.
-- ===========================================================================

-- delay_restart_mysql: requests to hold back a restart of the database
-- server (written by the site's tools; the service only probes it).
CREATE TABLE IF NOT EXISTS `delay_restart_mysql` (
  `id`           INT          NOT NULL AUTO_INCREMENT,
  `request_time` DATETIME     NOT NULL DEFAULT CURRENT_TIMESTAMP,
  `delay_until`  DATETIME     NULL DEFAULT NULL,
  `reason`       VARCHAR(255) NOT NULL DEFAULT '',
  PRIMARY KEY (`id`)
) ENGINE=MyISAM DEFAULT CHARSET=gbk;
