<?xml version="1.0" encoding="utf-8"?>
<!DOCTYPE TS>
<TS version="2.1" language="zh_CN">
<context>
    <name>Service</name>
    <message>
        <source>SERVICE_NAME</source>
        <translation>实用工具服务</translation>
    </message>
</context>
</TS>
